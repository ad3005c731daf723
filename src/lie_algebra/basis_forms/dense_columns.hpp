#pragma once

#include <cstddef>
#include <span>

#include "array/complex.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// Appends one dense column of columns.rows() values per matrix, in order,
// keeping their nonzero entries. Many of them are scanned in parts over the
// threads, each part into columns of its own, joined in order: a scan runs at
// the speed of memory, which one core does not reach.
void append_dense_columns(SparseColumns& columns, std::span<const Complex* const> matrices, TeamOnDemand& threads);

}  // namespace zenqa
