#include "bindings/arguments.hpp"

#include <string>

#include "base/published_messages.hpp"

namespace zenqa {

namespace {

[[noreturn]] void matching_error(std::string message) { throw PendingError(PyExc_TypeError, std::move(message)); }

std::string str_of(PyObject* object) {
    const PyRef text = checked(PyObject_Str(object));
    const char* data = PyUnicode_AsUTF8(text.get());
    if (data == nullptr) throw fetch_error();
    return data;
}

}  // namespace

std::vector<PyRef> parse_call_arguments(const Signature& signature, PyObject* args, PyObject* kwargs) {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    const PyRef keywords = kwargs != nullptr ? checked(PyDict_Copy(kwargs)) : PyRef();
    std::vector<PyRef> slots;
    Py_ssize_t used = 0;
    for (const char* name : signature.parameters) {
        const Py_ssize_t position = static_cast<Py_ssize_t>(slots.size());
        PyObject* keyword_value = nullptr;
        const PyRef key = checked(PyUnicode_FromString(name));
        if (keywords) {
            keyword_value = PyDict_GetItemWithError(keywords.get(), key.get());
            if (keyword_value == nullptr && PyErr_Occurred()) throw fetch_error();
        }
        if (keyword_value != nullptr) {
            if (position < given) matching_error(published::multiple_values(signature.location, name));
            slots.push_back(PyRef::borrow(keyword_value));
            if (PyDict_DelItem(keywords.get(), key.get()) < 0) throw fetch_error();
        } else if (position < given) {
            slots.push_back(PyRef::borrow(PyTuple_GET_ITEM(args, position)));
            ++used;
        } else {
            matching_error(published::missing_argument(signature.location, name));
        }
    }
    if (keywords && PyDict_GET_SIZE(keywords.get()) > 0) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        PyDict_Next(keywords.get(), &position, &key, &value);
        const PyRef held_key = PyRef::borrow(key);
        matching_error(published::unexpected_keyword(signature.location, str_of(held_key.get())));
    }
    if (used < given) {
        matching_error(published::too_many_positional(signature.location, static_cast<std::size_t>(used),
                                                      static_cast<std::size_t>(given)));
    }
    return slots;
}

PendingError argument_error(const char* name, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    return PendingError(PyExc_TypeError, published::argument_failed(name, error.message()));
}

}  // namespace zenqa
