#pragma once

#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"

namespace zenqa {

// The basis as the columns of a d*d x n matrix, d the row count of basis[0]:
// column k holds the first d*d entries of basis[k] in memory order, so entry
// (r, c) of a d x d matrix lands in row r*d + c. A matrix that is not stored
// row-major, or holds fewer than d*d entries, is a fault.
ComplexMatrix build_basis_columns(const std::vector<ComplexMatrix>& basis);

struct LeastSquaresSolution {
    ComplexMatrix x;                      // n x (columns of b)
    std::vector<double> singular_values;  // of a, in decreasing order
};

// The minimum-norm least-squares solution x of a x = b for every column of b,
// through LAPACK zgelsd. Singular values at or below rcond times the largest
// count as zero; a negative rcond means the machine precision. a and b are
// left unchanged; a failed solve is a fault.
LeastSquaresSolution solve_least_squares(const ComplexMatrix& a, const ComplexMatrix& b, double rcond = -1.0);

// The relative precision that zgelsd uses for rcond < 0.
inline constexpr double lapack_epsilon = 0x1p-53;

// Both parts at most 1e-8 in absolute value; a NaN part is never negligible.
inline bool is_negligible(Complex z) {
    return (z.re <= 1e-8 && z.re >= -1e-8) && (z.im <= 1e-8 && z.im >= -1e-8);
}

}  // namespace zenqa
