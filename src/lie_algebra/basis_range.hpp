#pragma once

#include <vector>

#include "array/complex_matrix.hpp"

namespace zenqa {

// Refuses a basis with a NaN or infinite entry (InvalidValue), naming the
// first such entry: no least-squares solve means anything for it.
void require_finite(const std::vector<ComplexMatrix>& basis);

// Multiplies the basis columns by 2^-exponent, exactly, when their largest
// entry is so far from 1 that products of two matrices could overflow or sink
// into subnormal numbers, and returns that exponent; 0 leaves them untouched.
int bring_into_range(ComplexMatrix& columns);

}  // namespace zenqa
