#include "lie_algebra/basis_range.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "base/refusals.hpp"

namespace zenqa {

namespace {

// Entries up to this power of two in magnitude, and down to its reciprocal,
// keep every product, Gram sum and pseudo-inverse of the decomposition far
// inside the range of normal doubles.
constexpr int comfortable_exponent = 256;

}  // namespace

void require_finite(const std::vector<ComplexMatrix>& basis) {
    for (std::size_t k = 0; k < basis.size(); ++k) {
        const ComplexMatrix& matrix = basis[k];
        for (std::size_t r = 0; r < matrix.rows(); ++r) {
            for (std::size_t c = 0; c < matrix.cols(); ++c) {
                const Complex z = matrix.at(r, c);
                if (std::isfinite(z.re) && std::isfinite(z.im)) continue;
                const char* kind = std::isnan(z.re) || std::isnan(z.im) ? "NaN" : "an infinity";
                throw InvalidValue("basis matrix " + std::to_string(k) + " holds " + kind + " at (" +
                                   std::to_string(r) + ", " + std::to_string(c) + ")");
            }
        }
    }
}

int bring_into_range(ComplexMatrix& columns) {
    double largest = 0.0;
    const Complex* entries = columns.data();
    for (std::size_t p = 0; p < columns.size(); ++p)
        largest = std::max({largest, std::fabs(entries[p].re), std::fabs(entries[p].im)});
    if (largest == 0.0) return 0;
    int exponent = 0;
    std::frexp(largest, &exponent);
    if (std::abs(exponent) <= comfortable_exponent) return 0;
    // A power of two scales every entry exactly; the largest lands in [0.5, 1).
    Complex* scaled = columns.data();
    for (std::size_t p = 0; p < columns.size(); ++p)
        scaled[p] = {std::ldexp(scaled[p].re, -exponent), std::ldexp(scaled[p].im, -exponent)};
    return exponent;
}

}  // namespace zenqa
