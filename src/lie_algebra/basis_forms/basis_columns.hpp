#pragma once

#include <vector>

#include "array/complex_matrix.hpp"

namespace zenqa {

// The basis as the columns of a d*d x n matrix, d the row count of basis[0]:
// column k holds the first d*d entries of basis[k] in memory order, so entry
// (r, c) of a d x d matrix lands in row r*d + c. A matrix that is not stored
// row-major, or holds fewer than d*d entries, is a fault.
ComplexMatrix build_basis_columns(const std::vector<ComplexMatrix>& basis);

}  // namespace zenqa
