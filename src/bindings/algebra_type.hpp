#pragma once

#include "python/py_ref.hpp"

namespace zenqa {

// Adds the type zenqa.Algebra to the module as the attribute "Algebra",
// outside __all__.
void add_algebra_type(PyObject* module);

}  // namespace zenqa
