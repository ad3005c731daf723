#include "base/fault.hpp"

#include <cstdio>
#include <string_view>

#include "base/published_messages.hpp"

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

void raise_missing_value_fault(std::source_location where) { raise_fault(published::missing_value, where); }

void raise_failed_step_fault(std::string_view error, std::source_location where) {
    raise_fault(published::failed_step_prefix + std::string(error), where);
}

void raise_shape_fault(ShapeFault fault, std::source_location where) {
    raise_failed_step_fault(
        fault == ShapeFault::Incompatible ? published::incompatible_shapes : published::too_few_elements, where);
}

}  // namespace zenqa
