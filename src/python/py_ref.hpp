#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace zenqa {

// Owns one strong reference to a Python object (or none) and releases it on
// destruction, so every path out of a call, exceptions included, lets go of
// its temporaries.
class PyRef {
public:
    PyRef() = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef(std::move(other)).swap(*this);
        return *this;
    }
    // Without the GIL it lets the reference go: only a daemon thread that
    // CPython ends at shutdown unwinds here without it (see entry_guard).
    ~PyRef() {
        if (object_ != nullptr && PyGILState_Check()) Py_DECREF(object_);
    }

    // Takes over a new reference, which may be null.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(PyRef& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zenqa
