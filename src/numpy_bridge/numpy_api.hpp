#pragma once

#include "python/errors.hpp"

namespace zenqa {

// Loads NumPy's C API on first use; a NumPy that cannot be loaded is an
// internal fault, an exception raised while it loads (KeyboardInterrupt) is
// thrown as itself, and the next call tries again.
void require_numpy();

// An instance of the NumPy array type or of a subclass.
bool is_numpy_array(PyObject* object);

// TypeError "Shape Mismatch:\n from=(dim=.., dtype=..), to=(dim=2, dtype=Complex64)".
PendingError shape_mismatch(int ndim, int type_number);

}  // namespace zenqa
