#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace zenqa {

// An exception that owns its message.
class MessageException : public std::exception {
public:
    explicit MessageException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A broken invariant inside the computation. It unwinds to the entry guard,
// which turns it into the Python PanicException carrying the message.
class InternalFault : public MessageException {
public:
    using MessageException::MessageException;
};

// Reports the fault with its source position on standard error, then throws.
[[noreturn]] void raise_fault(std::string message, std::source_location where = std::source_location::current());

// A value the computation needs is absent.
[[noreturn]] void raise_missing_value_fault(std::source_location where = std::source_location::current());

// A step failed with `error`, one of the step errors of base/published_messages.hpp.
[[noreturn]] void raise_failed_step_fault(std::string_view error,
                                          std::source_location where = std::source_location::current());

// Operands whose shapes do not fit together, or a matrix with fewer elements
// than are read from it: steps that fail with a shape error.
enum class ShapeFault { Incompatible, TooFewElements };

[[noreturn]] void raise_shape_fault(ShapeFault fault, std::source_location where = std::source_location::current());

}  // namespace zenqa
