#include "lie_algebra/basis_forms/basis_range.hpp"

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

// The power of two that brings the largest part into [0.5, 1), or 0 when it
// is comfortable as it is.
int exponent_of_range(double largest) {
    if (largest == 0.0) return 0;
    int exponent = 0;
    std::frexp(largest, &exponent);
    return std::abs(exponent) <= comfortable_exponent ? 0 : exponent;
}

}  // namespace

void refuse_non_finite(Complex z, std::size_t k, std::size_t r, std::size_t c) {
    const char* kind = std::isnan(z.re) || std::isnan(z.im) ? "NaN" : "an infinity";
    throw InvalidValue("basis matrix " + std::to_string(k) + " holds " + kind + " at (" + std::to_string(r) + ", " +
                       std::to_string(c) + ")");
}

void require_finite(const std::vector<ComplexMatrix>& basis) {
    for (std::size_t k = 0; k < basis.size(); ++k) {
        const ComplexMatrix& matrix = basis[k];
        if (matrix.all_finite()) continue;
        // The first in row-major order is named, whatever the layout. Over the
        // elements, not rows x columns: an empty matrix may have a huge extent.
        for (std::size_t p = 0; p < matrix.size(); ++p)
            require_finite_entry(matrix.row_major_at(p), k, p, matrix.cols());
    }
}

int bring_into_range(ComplexMatrix& columns) {
    double largest = 0.0;
    const Complex* entries = columns.data();
    for (std::size_t p = 0; p < columns.size(); ++p)
        largest = std::max({largest, std::fabs(entries[p].re), std::fabs(entries[p].im)});
    const int exponent = exponent_of_range(largest);
    if (exponent == 0) return 0;
    Complex* scaled = columns.data();
    for (std::size_t p = 0; p < columns.size(); ++p) scaled[p] = times_power_of_two(scaled[p], -exponent);
    return exponent;
}

int range_exponent(const SparseColumns& columns) { return exponent_of_range(columns.largest_part()); }

SparseColumns scaled_columns(const SparseColumns& columns, int exponent) {
    return columns.transformed([exponent](Complex v) { return times_power_of_two(v, -exponent); });
}

}  // namespace zenqa
