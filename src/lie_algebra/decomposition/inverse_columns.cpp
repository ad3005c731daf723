#include "lie_algebra/decomposition/inverse_columns.hpp"

#include <cstdint>

namespace zenqa {

namespace {

// Measured: dense blocks of 36 matrices project faster entry by entry than
// batched, blocks of 64 slower.
constexpr std::size_t longest_mean_column = 32;

}  // namespace

std::optional<InverseColumns> InverseColumns::of(const BlockProjector& projector, std::size_t basis_nonzeros) {
    const std::size_t entries = projector.inverse_entries();
    if (entries > 2 * basis_nonzeros || entries > longest_mean_column * projector.block_positions())
        return std::nullopt;
    InverseColumns inverse;
    inverse.matrices_ = projector.matrices();
    inverse.slots_ = projector.slots();
    const PositionSlots& slots = *inverse.slots_;
    inverse.begin_.reserve(slots.size() + 1);
    inverse.begin_.push_back(0);
    for (std::size_t s = 0; s < slots.size(); ++s) {
        projector.for_each_in_inverse_column(slots.position(s), [&](std::size_t k, Complex w) {
            inverse.k_.push_back(static_cast<std::uint32_t>(k));
            inverse.w_.push_back(w);
        });
        inverse.begin_.push_back(inverse.k_.size());
    }
    return inverse;
}

}  // namespace zenqa
