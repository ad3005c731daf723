#include "lie_algebra/bases/gellmann.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "base/checked_math.hpp"
#include "base/fault.hpp"
#include "base/memory_check.hpp"
#include "base/published_messages.hpp"

namespace zenqa {

namespace {

// "capacity overflow" is published to start where d*d list slots of 64 bytes
// no longer fit a signed 64-bit byte count. The slots are priced at that
// published size, more than the 48 bytes a ComplexMatrix takes here.
constexpr std::uint64_t published_slot_bytes = 64;
static_assert(sizeof(ComplexMatrix) <= published_slot_bytes);

// The unit matrix of the pair (j, k), counted from 1, before the factor i:
// symmetric for j > k, antisymmetric for j < k, diagonal for j = k < d.
ComplexMatrix gellmann_matrix(std::size_t j, std::size_t k, std::size_t d) {
    ComplexMatrix m = ComplexMatrix::zeros(d, d);
    if (j > k) {
        m.set(j - 1, k - 1, {1.0, 0.0});
        m.set(k - 1, j - 1, {1.0, 0.0});
    } else if (j < k) {
        m.set(j - 1, k - 1, {-0.0, -1.0});  // -i, a negated +i
        m.set(k - 1, j - 1, {0.0, 1.0});
    } else {
        const std::size_t l = j;
        const double lf = static_cast<double>(l);
        for (std::size_t r = 0; r < l; ++r) m.set(r, r, {1.0, 0.0});
        m.set(l, l, {-lf, 0.0});
        m.scale_in_place({std::sqrt(2.0 / ((1.0 + lf) * lf)), 0.0});
    }
    return m;
}

}  // namespace

void gellmann_basis(std::uint64_t d, const MatrixSink& emit) {
    const auto list_bytes = checked_product({d, d, published_slot_bytes});
    if (!list_bytes || *list_bytes > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        raise_fault(published::capacity_overflow);
    if (d < 2) return;
    require_memory(checked_product({d * d - 1, d, d, sizeof(Complex)}),
                   [d] { return "the Gell-Mann basis for d = " + std::to_string(d); });

    const auto emit_times_i = [&](ComplexMatrix m) {
        m.scale_in_place({0.0, 1.0});
        emit(std::move(m));
    };
    for (std::size_t j = 1; j < d; ++j)
        for (std::size_t k = 1; k <= d; ++k) emit_times_i(gellmann_matrix(j, k, d));
    for (std::size_t k = 1; k < d; ++k) emit_times_i(gellmann_matrix(d, k, d));
}

}  // namespace zenqa
