#pragma once

#include "python/py_ref.hpp"

namespace zenqa {

// The interpreter's entries into the seven published functions, in the
// keyword-taking calling convention (module, positional tuple, keyword dict).
PyObject* gen_sylvester_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* gen_gellmann_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* get_structure_constants_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* get_d_coefficients_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* su_commutator_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* cross_py(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* dot_py(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace zenqa
