#pragma once

#include <functional>

#include "array/complex_matrix.hpp"

namespace zenqa {

// Takes the matrices of a basis one by one, as they are built: a caller that
// converts each at once never holds the whole basis twice, and has little to
// release when it stops midway.
using MatrixSink = std::function<void(ComplexMatrix)>;

}  // namespace zenqa
