#pragma once

#include <cstdint>
#include <vector>

#include "array/complex_matrix.hpp"
#include "lie_algebra/bases/matrix_sink.hpp"

namespace zenqa {

// The d*d - 1 generalized Gell-Mann matrices of dimension d, each multiplied
// by i, ordered by their index pair (j, k): j = 1 .. d-1 with k = 1 .. d
// fastest, then (d, 1) .. (d, d-1); none for d < 2. Each is handed to `emit`
// as soon as it is built.
void gellmann_basis(std::uint64_t d, const MatrixSink& emit);

}  // namespace zenqa
