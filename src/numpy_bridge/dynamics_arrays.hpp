#pragma once

#include <cstddef>
#include <vector>

#include "array/complex.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// The arguments of the open-system methods of Algebra, copied for use
// without the GIL. TypeError for an element type that does not cast safely,
// ValueError for another shape or a NaN or infinity; the messages name the
// argument and its shape.

// An array of exactly this shape whose values cast safely to complex128, in C order.
std::vector<Complex> complex_argument(const char* name, PyObject* object, const std::vector<std::size_t>& shape);
// The same in two steps: the array, checked but not copied, then its values,
// into a vector or into memory of the caller's.
PyRef complex_array_argument(const char* name, PyObject* object, const std::vector<std::size_t>& shape);
std::vector<Complex> complex_argument_values(const char* name, const PyRef& array);
void copy_complex_argument(const char* name, const PyRef& array, Complex* target);

// A sequence of d x d matrices or one array of shape (m, d, d); m may be 0.
struct JumpOperators {
    std::vector<Complex> values;
    std::size_t count = 0;
};
JumpOperators jump_operators_argument(PyObject* object, std::size_t d);

// None (a rate of 1 for each jump operator) or `count` real numbers.
std::vector<double> rates_argument(PyObject* object, std::size_t count);

}  // namespace zenqa
