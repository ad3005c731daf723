#include "python/integers.hpp"

#include "python/errors.hpp"

namespace zenqa {

std::uint64_t to_u64(PyObject* object) {
    // An exact int is its own index; skipping the protocol call matters for
    // dicts of many entries.
    const PyRef index = PyLong_CheckExact(object) ? PyRef::borrow(object) : checked(PyNumber_Index(object));
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw fetch_error();
    return value;
}

}  // namespace zenqa
