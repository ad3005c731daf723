#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "array/complex.hpp"
#include "array/complex_matrix.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// The basis as the columns of a d*d x n matrix, d the row count of basis[0]:
// column k holds the first d*d entries of basis[k] in memory order, so entry
// (r, c) of a d x d matrix lands in row r*d + c. A matrix that is not stored
// row-major, or holds fewer than d*d entries, is a fault.
ComplexMatrix build_basis_columns(const std::vector<ComplexMatrix>& basis);

// Appends one dense column of columns.rows() values per matrix, in order,
// keeping their nonzero entries. Many of them are scanned in parts over the
// threads, each part into columns of its own, joined in order: a scan runs at
// the speed of memory, which one core does not reach.
void append_dense_columns(SparseColumns& columns, std::span<const Complex* const> matrices, TeamOnDemand& threads);

}  // namespace zenqa
