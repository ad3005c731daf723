#pragma once

#include <span>
#include <vector>

#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// The parameters of one published function; every one is required and may be
// given by position or by keyword. `location` (the internal entry's name with
// "()") opens every argument-matching message.
struct Signature {
    const char* location;
    std::span<const char* const> parameters;
};

// One strong reference per parameter, in parameter order. The caller's keyword
// dict is never modified.
std::vector<PyRef> parse_call_arguments(const Signature& signature, PyObject* args, PyObject* kwargs);

// The error to raise when converting argument `name` failed: exactly TypeError
// gets the prefix "argument '{name}': ", anything else passes unchanged.
PendingError argument_error(const char* name, PendingError error);

template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (PendingError& error) {
        throw argument_error(name, std::move(error));
    }
}

}  // namespace zenqa
