#pragma once

#include "base/fault.hpp"

namespace zenqa {

// Requests the computation refuses. Unlike internal faults, the entry guard
// reports each as an ordinary Python exception.

// A request that cannot fit in memory: MemoryError.
class MemoryShortage : public MessageException {
public:
    using MessageException::MessageException;
};

// Input the computation cannot work with: ValueError.
class InvalidValue : public MessageException {
public:
    using MessageException::MessageException;
};

// A result too large for a double: OverflowError.
class ResultOverflow : public MessageException {
public:
    using MessageException::MessageException;
};

}  // namespace zenqa
