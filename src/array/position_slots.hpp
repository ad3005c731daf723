#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace zenqa {

// The positions (r*d + c) of a d x d matrix at which some of a set of sparse
// matrices has an entry, numbered in increasing order: the slots. Tables kept
// per slot cost what those entries cost, where tables of every position
// would cost d*d, which does not fit for large d.
class PositionSlots {
public:
    static constexpr std::uint32_t none = UINT32_MAX;

    // From for_each_position(mark), which calls mark(p) for the position of
    // every entry, in any order and repeated, at most `entries` times; each p
    // below position_count (d*d).
    template <class ForEachPosition>
    static PositionSlots of(std::size_t position_count, std::size_t entries, ForEachPosition&& for_each_position) {
        std::vector<std::uint32_t> positions;
        if (position_count <= marked_positions_per_entry * entries) {
            std::vector<bool> marked(position_count);
            for_each_position([&](std::size_t p) { marked[p] = true; });
            for (std::size_t p = 0; p < position_count; ++p)
                if (marked[p]) positions.push_back(static_cast<std::uint32_t>(p));
        } else {
            positions.reserve(entries);
            for_each_position([&](std::size_t p) { positions.push_back(static_cast<std::uint32_t>(p)); });
            std::sort(positions.begin(), positions.end());
            positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        }
        return PositionSlots(std::move(positions), position_count);
    }

    std::size_t size() const { return positions_.size(); }
    std::size_t position(std::size_t slot) const { return positions_[slot]; }
    // The slot of position p, or none.
    std::uint32_t slot(std::size_t p) const {
        if (!direct_.empty()) return direct_[p];
        for (std::size_t cell = (p * hash_multiplier) >> shift_;; cell = (cell + 1) & mask_) {
            if (cells_[cell].position == p) return cells_[cell].slot;
            if (cells_[cell].position == empty) return none;
        }
    }

private:
    // From the positions, increasing.
    PositionSlots(std::vector<std::uint32_t> positions, std::size_t position_count);

    // Positions are gathered by marking a bit per position where those bits
    // take no more room than the entries' positions would.
    static constexpr std::size_t marked_positions_per_entry = 32;

    struct Cell {
        std::uint32_t position, slot;
    };
    // No position reaches it: d*d < 2^32 - 1.
    static constexpr std::uint32_t empty = UINT32_MAX;
    static constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15;  // 2^64 over the golden ratio

    std::vector<std::uint32_t> positions_;
    // Where the slots fill much of the d*d positions (a Gell-Mann basis fills
    // them all), the slot of every position; else a hash table of them, open
    // addressing with linear probing, at most half full.
    std::vector<std::uint32_t> direct_;
    std::vector<Cell> cells_;
    std::size_t mask_ = 0;
    int shift_ = 0;
};

}  // namespace zenqa
