#define ZENQA_DEFINES_NUMPY_API
#include "numpy_bridge/numpy.hpp"

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "numpy_bridge/numpy_api.hpp"

namespace zenqa {

namespace {

const char* element_type_name(int type_number) {
    namespace name = published::element_type;
    switch (type_number) {
        case NPY_BOOL: return name::bool_;
        case NPY_BYTE: return name::int8;
        case NPY_UBYTE: return name::uint8;
        case NPY_SHORT: return name::int16;
        case NPY_USHORT: return name::uint16;
        case NPY_INT: return name::int32;
        case NPY_UINT: return name::uint32;
        case NPY_LONG:
        case NPY_LONGLONG: return name::int64;
        case NPY_ULONG:
        case NPY_ULONGLONG: return name::uint64;
        case NPY_FLOAT: return name::float32;
        case NPY_DOUBLE: return name::float64;
        case NPY_CFLOAT: return name::complex32;
        case NPY_CDOUBLE: return name::complex64;
        case NPY_OBJECT: return name::object;
        default: return name::unknown;
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
        raise_fault(missing ? published::numpy_missing : published::numpy_api_missing);
    }
}

bool is_numpy_array(PyObject* object) {
    require_numpy();
    return PyArray_Check(object);
}

PendingError shape_mismatch(int ndim, int type_number) {
    return PendingError(PyExc_TypeError, published::shape_mismatch(ndim, element_type_name(type_number)));
}

}  // namespace zenqa
