#pragma once

#include <cstdint>
#include <vector>

#include "array/complex_matrix.hpp"
#include "lie_algebra/bases/matrix_sink.hpp"

namespace zenqa {

// The generalized Sylvester (clock-and-shift) basis of dimension d: the shift
// X, the clock Z, then X^j Z^m for j = 1 .. d and m = 1 .. d (m fastest)
// without X^1 Z^d, X^d Z^1 and X^d Z^d. Checks Z X = w X Z first. Each
// matrix is handed to `emit` as soon as it is built.
void sylvester_basis(std::uint64_t d, const MatrixSink& emit);

}  // namespace zenqa
