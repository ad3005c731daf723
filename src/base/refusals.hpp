#pragma once

#include <stdexcept>

namespace zenqa {

// Input the computation cannot work with; reported as an ordinary ValueError.
class InvalidValue : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A result too large for a double; reported as an ordinary OverflowError.
class ResultOverflow : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace zenqa
