#pragma once

#include <memory>
#include <vector>

#include "lie_algebra/algebra/algebra.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// The Algebra an Algebra object holds.
std::shared_ptr<const Algebra> algebra_of(PyObject* self);

// The methods of Algebra for open-system dynamics, as method-table entries.
std::vector<PyMethodDef> dynamics_methods();

}  // namespace zenqa
