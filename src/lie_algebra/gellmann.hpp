#pragma once

#include <cstdint>
#include <vector>

#include "array/complex_matrix.hpp"
#include "lie_algebra/interrupt_check.hpp"

namespace zenqa {

// The d*d - 1 generalized Gell-Mann matrices of dimension d, each multiplied
// by i, ordered by their index pair (j, k): j = 1 .. d-1 with k = 1 .. d
// fastest, then (d, 1) .. (d, d-1). Empty for d < 2.
std::vector<ComplexMatrix> gellmann_basis(std::uint64_t d, InterruptCheck check_interrupt = nullptr);

}  // namespace zenqa
