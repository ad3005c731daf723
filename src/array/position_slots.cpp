#include "array/position_slots.hpp"

#include <algorithm>
#include <bit>

namespace zenqa {

namespace {

// A table of every position is kept while it holds at most this many per
// slot (32 bytes, as much as the hash table's cells): a lookup there is one
// load.
constexpr std::size_t direct_positions_per_slot = 8;

}  // namespace

PositionSlots::PositionSlots(std::vector<std::uint32_t> positions, std::size_t position_count)
    : positions_(std::move(positions)) {
    positions_.shrink_to_fit();
    if (position_count <= direct_positions_per_slot * positions_.size()) {
        direct_.assign(position_count, none);
        for (std::size_t s = 0; s < positions_.size(); ++s) direct_[positions_[s]] = static_cast<std::uint32_t>(s);
        return;
    }
    const std::size_t cells = std::bit_ceil(std::max<std::size_t>(2 * positions_.size(), 2));
    cells_.assign(cells, {empty, none});
    mask_ = cells - 1;
    shift_ = 64 - std::countr_zero(cells);
    for (std::size_t s = 0; s < positions_.size(); ++s) {
        std::size_t cell = (positions_[s] * hash_multiplier) >> shift_;
        while (cells_[cell].position != empty) cell = (cell + 1) & mask_;
        cells_[cell] = {positions_[s], static_cast<std::uint32_t>(s)};
    }
}

}  // namespace zenqa
