#include "bindings/arguments.hpp"

#include <string>

namespace zenqa {

namespace {

[[noreturn]] void matching_error(const Signature& signature, const std::string& what) {
    throw PendingError(PyExc_TypeError, std::string(signature.location) + " " + what);
}

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
            if (position < given) matching_error(signature, std::string("got multiple values for argument: ") + name);
            slots.push_back(PyRef::borrow(keyword_value));
            if (PyDict_DelItem(keywords.get(), key.get()) < 0) throw fetch_error();
        } else if (position < given) {
            slots.push_back(PyRef::borrow(PyTuple_GET_ITEM(args, position)));
            ++used;
        } else {
            matching_error(signature, std::string("missing required positional argument: ") + name);
        }
    }
    if (keywords && PyDict_GET_SIZE(keywords.get()) > 0) {
        Py_ssize_t position = 0;
        PyObject *key = nullptr, *value = nullptr;
        PyDict_Next(keywords.get(), &position, &key, &value);
        const PyRef held_key = PyRef::borrow(key);
        matching_error(signature, "got an unexpected keyword argument: " + str_of(held_key.get()));
    }
    if (used < given) {
        matching_error(signature, "takes at most " + std::to_string(used) + " positional argument" +
                                      (used == 1 ? "" : "s") + " (" + std::to_string(given) + " given)");
    }
    return slots;
}

PendingError argument_error(const char* name, PendingError error) {
    if (error.type() != PyExc_TypeError) return error;
    return PendingError(PyExc_TypeError, std::string("argument '") + name + "': " + error.message());
}

}  // namespace zenqa
