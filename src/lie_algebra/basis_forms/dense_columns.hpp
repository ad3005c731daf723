#pragma once

#include <cstddef>

#include "array/complex.hpp"
#include "base/thread_team.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"

namespace zenqa {

// Appends `count` dense columns of columns.rows() values each, one after
// another, keeping their nonzero entries. Many of them are scanned in parts
// over the team, each part into columns of its own, joined in order: a scan
// runs at the speed of memory, which one core does not reach.
void append_dense_columns(SparseColumns& columns, const Complex* values, std::size_t count, ThreadTeam& team);

}  // namespace zenqa
