#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "array/complex_matrix.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// Refuses a basis with a NaN or infinite entry (InvalidValue), naming the
// first such entry: no least-squares solve means anything for it.
void require_finite(const std::vector<ComplexMatrix>& basis);

// Refuses entry (r, c) of basis matrix k, which is NaN or infinite.
[[noreturn]] void refuse_non_finite(Complex z, std::size_t k, std::size_t r, std::size_t c);

// require_finite for entry p, in row-major order, of basis matrix k with
// `cols` columns; its place is worked out only to be named.
inline void require_finite_entry(Complex z, std::size_t k, std::size_t p, std::size_t cols) {
    if (std::isfinite(z.re) && std::isfinite(z.im)) [[likely]]
        return;
    refuse_non_finite(z, k, p / cols, p % cols);
}

// x * 2^exponent, exactly while it stays in range; scaling by 2^0, the
// common case, costs nothing.
inline double times_power_of_two(double x, int exponent) { return exponent == 0 ? x : std::ldexp(x, exponent); }
inline Complex times_power_of_two(Complex v, int exponent) {
    return {times_power_of_two(v.re, exponent), times_power_of_two(v.im, exponent)};
}

// Multiplies the basis columns by 2^-exponent, exactly, when their largest
// entry is so far from 1 that products of two matrices could overflow or sink
// into subnormal numbers, and returns that exponent; 0 leaves them untouched.
int bring_into_range(ComplexMatrix& columns);

// The exponent that bring_into_range would scale sparse columns by, and the
// columns scaled by it.
int range_exponent(const SparseColumns& columns);
SparseColumns scaled_columns(const SparseColumns& columns, int exponent);

}  // namespace zenqa
