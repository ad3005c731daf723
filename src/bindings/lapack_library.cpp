#include "bindings/lapack_library.hpp"

#include <string>

#include "lie_algebra/lapack/lapack.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

// ZENQA_OPENBLAS_REQUIREMENT is the version of scipy-openblas32 built against.
const std::string install_hint = "pip install " ZENQA_OPENBLAS_REQUIREMENT;

std::string text_of(const PyRef& object) {
    const char* text = PyUnicode_Check(object.get()) ? PyUnicode_AsUTF8(object.get()) : nullptr;
    if (text == nullptr)
        throw PendingError(PyExc_ImportError, "scipy_openblas32 gave no library path; " + install_hint);
    return text;
}

// The package may live in another directory of sys.path than zenqa itself.
std::string installed_library_path() {
    const PyRef package = PyRef::steal(PyImport_ImportModule("scipy_openblas32"));
    if (!package) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw fetch_error();
        PyErr_Clear();
        throw PendingError(PyExc_ImportError, "zenqa needs the scipy-openblas32 package for LAPACK: " + install_hint);
    }
    const PyRef directory = checked(PyObject_CallMethod(package.get(), "get_lib_dir", nullptr));
    const PyRef file = checked(PyObject_CallMethod(package.get(), "get_library", "(O)", Py_True));
    return text_of(directory) + "/" + text_of(file);
}

}  // namespace

void require_lapack() {
    if (lapack::is_loaded()) return;
    try {
        lapack::open_library(installed_library_path());
    } catch (const lapack::LibraryError& error) {
        throw PendingError(PyExc_ImportError, std::string("zenqa could not load OpenBLAS: ") + error.what() +
                                                  "; reinstall it: " + install_hint);
    }
}

}  // namespace zenqa
