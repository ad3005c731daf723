#pragma once

#include <cstdint>

#include "python/py_ref.hpp"

namespace zenqa {

// The integer index protocol, as an unsigned 64-bit value.
std::uint64_t to_u64(PyObject* object);

}  // namespace zenqa
