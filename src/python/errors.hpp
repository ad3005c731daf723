#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

#include "python/py_ref.hpp"

namespace zenqa {

// A Python exception on its way to the interpreter. The interface layers throw
// it; the entry guard hands it over with PyErr_Restore.
class PendingError : public std::exception {
public:
    // An exception the module raises itself, of a built-in type.
    PendingError(PyObject* type, std::string message);
    // An exception taken from the interpreter, passed on unchanged.
    static PendingError fetched(PyRef type, PyRef value, PyRef traceback);

    PyObject* type() const { return type_.get(); }
    // The text that str() of the exception gives; empty when str() fails.
    std::string message();
    // Makes this the interpreter's current exception; leaves this error empty.
    void restore();

    const char* what() const noexcept override { return "pending Python exception"; }

private:
    PendingError() = default;
    PyRef type_;
    PyRef value_;
    PyRef traceback_;
    std::string message_;
    bool lazy_ = false;
};

// Takes the interpreter's pending exception. A PanicException raised by Python
// code is not returned: it is reported and resumed as an internal fault.
PendingError fetch_error();

// Takes a new reference from an interpreter call; null means the call failed
// and its exception is thrown as a PendingError.
PyRef checked(PyObject* new_reference);

// Lets Ctrl-C stop a long computation: the exception that a signal handler
// raised unwinds it.
void check_signals();

// TypeError "'{qualname of type(object)}' object cannot be converted to '{target}'".
PendingError downcast_error(PyObject* object, std::string_view target);

// For interpreter calls whose failure the module does not treat as a Python
// error: prints the pending exception and raises the fault "Python API call failed".
[[noreturn]] void python_api_failed(std::source_location where = std::source_location::current());

// Sets PanicException(message) as the interpreter's current exception.
void raise_panic(const char* message);

}  // namespace zenqa
