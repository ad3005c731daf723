#include "python/errors.hpp"

#include "base/fault.hpp"
#include "base/published_messages.hpp"

namespace zenqa {

namespace {

// Created on first need and kept for the life of the process; null, with the
// interpreter's exception set, if it cannot be created.
PyObject* panic_exception_class() {
    static PyObject* panic_class = nullptr;
    if (panic_class == nullptr) {
        PyObject* created = PyErr_NewException(published::panic_class, PyExc_BaseException, nullptr);
        // Creating a class can run Python code that got here first.
        if (panic_class == nullptr) {
            panic_class = created;
        } else {
            Py_XDECREF(created);
        }
    }
    return panic_class;
}

std::string utf8_or_empty(PyObject* text) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return {};
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// A PanicException that Python code raised while the module was calling it:
// its text goes on as an internal fault, so the caller sees a fresh PanicException.
[[noreturn]] void resume_panic(PyRef type, PyRef value, PyRef traceback) {
    std::string message =
        value && PyUnicode_Check(value.get()) ? utf8_or_empty(value.get()) : published::unwrapped_python_panic;
    PySys_WriteStderr("%s", published::resumed_panic_banner);
    PyErr_Restore(type.release(), value.release(), traceback.release());
    PyErr_PrintEx(0);
    throw InternalFault(std::move(message));
}

}  // namespace

PendingError::PendingError(PyObject* type, std::string message)
    : type_(PyRef::borrow(type)), message_(std::move(message)), lazy_(true) {}

PendingError PendingError::fetched(PyRef type, PyRef value, PyRef traceback) {
    PendingError error;
    error.type_ = std::move(type);
    error.value_ = std::move(value);
    error.traceback_ = std::move(traceback);
    return error;
}

std::string PendingError::message() {
    if (lazy_) return message_;
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
    const PyRef text = PyRef::steal(PyObject_Str(value_.get()));
    if (!text) {
        PyErr_Clear();
        return {};
    }
    return utf8_or_empty(text.get());
}

void PendingError::restore() {
    if (lazy_) {
        PyErr_SetString(type_.get(), message_.c_str());
        type_ = PyRef();
    } else {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    }
}

PendingError fetch_error() {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef owned_value = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    PyObject* panic_class = panic_exception_class();
    if (panic_class == nullptr) PyErr_Clear();  // no such class, so the error cannot be one
    if (panic_class != nullptr && type == panic_class)
        resume_panic(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
    return PendingError::fetched(std::move(owned_type), std::move(owned_value), std::move(owned_traceback));
}

PyRef checked(PyObject* new_reference) {
    if (new_reference == nullptr) throw fetch_error();
    return PyRef::steal(new_reference);
}

void check_signals() {
    if (PyErr_CheckSignals() < 0) throw fetch_error();
}

PendingError downcast_error(PyObject* object, std::string_view target) {
    const PyRef qualname =
        checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
    if (!PyUnicode_Check(qualname.get())) throw downcast_error(qualname.get(), published::string_target);
    return PendingError(PyExc_TypeError, published::not_convertible(utf8_or_empty(qualname.get()), target));
}

void python_api_failed(std::source_location where) {
    PyErr_Print();
    raise_fault(published::python_api_failed, where);
}

void raise_panic(const char* message) {
    PyObject* panic_class = panic_exception_class();
    if (panic_class != nullptr) PyErr_SetString(panic_class, message);
}

}  // namespace zenqa
