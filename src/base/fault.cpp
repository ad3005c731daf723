#include "base/fault.hpp"

#include <cstdio>
#include <string_view>

namespace zenqa {

namespace {

// Source paths are reported from the src/ directory down, wherever the build ran.
std::string_view project_path(std::string_view file) {
    const auto src = file.rfind("src/");
    return src == std::string_view::npos ? file : file.substr(src);
}

}  // namespace

void raise_fault(std::string message, std::source_location where) {
    const auto file = project_path(where.file_name());
    std::fprintf(stderr, "zenqa: internal fault at %.*s:%u:%u: %s\n", static_cast<int>(file.size()), file.data(),
                 static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()), message.c_str());
    throw InternalFault(std::move(message));
}

void unwrap_none(std::source_location where) { raise_fault("called `Option::unwrap()` on a `None` value", where); }

void unwrap_err(const std::string& error_text, std::source_location where) {
    raise_fault("called `Result::unwrap()` on an `Err` value: " + error_text, where);
}

std::string shape_error_text(ShapeErrorKind kind) {
    switch (kind) {
        case ShapeErrorKind::IncompatibleShape: return "ShapeError/IncompatibleShape: incompatible shapes";
        case ShapeErrorKind::IncompatibleLayout: return "ShapeError/IncompatibleLayout: incompatible memory layout";
        case ShapeErrorKind::RangeLimited: return "ShapeError/RangeLimited: the shape does not fit in type limits";
        case ShapeErrorKind::OutOfBounds: return "ShapeError/OutOfBounds: out of bounds indexing";
        case ShapeErrorKind::Unsupported: return "ShapeError/Unsupported: unsupported operation";
        case ShapeErrorKind::Overflow: return "ShapeError/Overflow: arithmetic overflow";
    }
    return "ShapeError/Unknown";
}

}  // namespace zenqa
