#define ZENQA_DEFINES_NUMPY_API
#include "numpy_bridge/numpy.hpp"

#include <string>

#include "base/fault.hpp"
#include "numpy_bridge/numpy_api.hpp"

namespace zenqa {

namespace {

// Names of NumPy element types in messages; Complex64 is NumPy's complex128.
const char* element_type_name(int type_number) {
    switch (type_number) {
        case NPY_BOOL: return "Bool";
        case NPY_BYTE: return "Int8";
        case NPY_UBYTE: return "Uint8";
        case NPY_SHORT: return "Int16";
        case NPY_USHORT: return "Uint16";
        case NPY_INT: return "Int32";
        case NPY_UINT: return "Uint32";
        case NPY_LONG:
        case NPY_LONGLONG: return "Int64";
        case NPY_ULONG:
        case NPY_ULONGLONG: return "Uint64";
        case NPY_FLOAT: return "Float32";
        case NPY_DOUBLE: return "Float64";
        case NPY_CFLOAT: return "Complex32";
        case NPY_CDOUBLE: return "Complex64";
        case NPY_OBJECT: return "Object";
        default: return "Unknown";
    }
}

}  // namespace

void require_numpy() {
    if (PyArray_API != nullptr) return;
    if (_import_array() < 0) {
        PyArray_API = nullptr;  // a version check may fail after the table was set
        // NumPy's loader reports a missing or unusable interface table with
        // AttributeError or RuntimeError. Anything else, such as Ctrl-C during
        // the import, is not a fault of NumPy and goes on unchanged.
        const bool missing = PyErr_ExceptionMatches(PyExc_ImportError);
        if (!missing && !PyErr_ExceptionMatches(PyExc_AttributeError) && !PyErr_ExceptionMatches(PyExc_RuntimeError))
            throw fetch_error();
        PyErr_Print();  // the cause, ahead of the fault report
        raise_fault(missing ? "Failed to import numpy module" : "Failed to get numpy capsule API");
    }
}

bool is_numpy_array(PyObject* object) {
    require_numpy();
    return PyArray_Check(object);
}

PendingError shape_mismatch(int ndim, int type_number) {
    return PendingError(PyExc_TypeError, "Shape Mismatch:\n from=(dim=" + std::to_string(ndim) + ", dtype=" +
                                             element_type_name(type_number) + "), to=(dim=2, dtype=Complex64)");
}

}  // namespace zenqa
