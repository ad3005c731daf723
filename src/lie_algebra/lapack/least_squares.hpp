#pragma once

#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"

namespace zenqa {

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

}  // namespace zenqa
