#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "array/complex.hpp"
#include "array/position_slots.hpp"
#include "lie_algebra/decomposition/block_projector.hpp"

namespace zenqa {

// The pseudo-inverse of a BlockProjector column by column: for each position
// where the basis has entries, the coefficients (k, w) of the unit target there. Where these are about
// as sparse as the basis itself (Gell-Mann: two at an off-diagonal position),
// a target is projected entry by entry, at the cost of its own entries,
// without gathering it into blocks or batching it with others.
class InverseColumns {
public:
    // None where the blocks' pseudo-inverses hold more than twice the basis'
    // nonzero entries, or more than 32 per position on average (dense blocks
    // of more than 32 matrices): there the batched products of a
    // ProjectionQueue cost less.
    static std::optional<InverseColumns> of(const BlockProjector& projector, std::size_t basis_nonzeros);

    std::size_t matrices() const { return matrices_; }
    // The positions of the basis' entries; the other columns are zero.
    const std::shared_ptr<const PositionSlots>& slots() const { return slots_; }
    // f(k, w) for the nonzero entries of the column of the position in `slot`,
    // in increasing k.
    template <class F>
    void for_each_in_column(std::size_t slot, F&& f) const {
        for (std::size_t e = begin_[slot]; e < begin_[slot + 1]; ++e) f(k_[e], w_[e]);
    }

private:
    std::size_t matrices_ = 0;
    std::shared_ptr<const PositionSlots> slots_;
    std::vector<std::size_t> begin_;  // per slot, and an end marker
    std::vector<std::uint32_t> k_;
    std::vector<Complex> w_;
};

}  // namespace zenqa
