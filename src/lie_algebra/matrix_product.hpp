#pragma once

#include <cstddef>

#include "array/complex.hpp"

namespace zenqa {

// c = op(a) b for column-major matrices: op(a) is m x k (a itself, or its
// conjugate transpose when `adjoint` is set), b is k x n and c is m x n.
void multiply(bool adjoint, std::size_t m, std::size_t n, std::size_t k, const Complex* a, const Complex* b,
              Complex* c);

}  // namespace zenqa
