#pragma once

#include <exception>
#include <source_location>
#include <string>

namespace zenqa {

// A broken invariant inside the computation. It unwinds to the entry guard,
// which turns it into the Python PanicException carrying the message.
class InternalFault : public std::exception {
public:
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A request that cannot fit in memory; reported as an ordinary MemoryError.
class MemoryShortage : public std::exception {
public:
    explicit MemoryShortage(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Reports the fault with its source position on standard error, then throws.
[[noreturn]] void raise_fault(std::string message, std::source_location where = std::source_location::current());

[[noreturn]] void unwrap_none(std::source_location where = std::source_location::current());

// "called `Result::unwrap()` on an `Err` value: " followed by the error's text.
[[noreturn]] void unwrap_err(const std::string& error_text,
                             std::source_location where = std::source_location::current());

enum class ShapeErrorKind {
    IncompatibleShape = 1,
    IncompatibleLayout,
    RangeLimited,
    OutOfBounds,
    Unsupported,
    Overflow,
};

std::string shape_error_text(ShapeErrorKind kind);

}  // namespace zenqa
