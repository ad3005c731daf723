#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zenqa {

// Fails with MemoryShortage, before anything is allocated, when a result of
// `bytes` (nothing: more than 64 bits can count) cannot fit in the machine's
// physical memory. `what` names the result in the message.
void require_memory(std::optional<std::uint64_t> bytes, const std::string& what);

}  // namespace zenqa
