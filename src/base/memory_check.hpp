#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

namespace zenqa {

// Requests below 64 MiB are granted without reading the system's figures:
// none can exhaust a machine, and small calls are spared reading /proc.
inline constexpr std::uint64_t unweighed_request = std::uint64_t{1} << 26;

// Fails with MemoryShortage when `bytes` (nothing: more than 64 bits can
// count) exceed the memory available now: the machine's MemAvailable, or what
// the process's memory cgroups still allow where that is less (containers,
// batch schedulers); `what` names the request in the message.
void weigh_request(std::optional<std::uint64_t> bytes, const std::string& what);

// Refuses, before anything is allocated, a request that cannot be met, rather
// than growing into it until the system kills the process. `describe` gives
// the request's name, only when it is needed.
template <class Describe>
void require_memory(std::optional<std::uint64_t> bytes, Describe&& describe) {
    if (bytes && *bytes < unweighed_request) return;
    weigh_request(bytes, describe());
}

// Held while a growth large enough to be weighed is weighed, made and
// touched, so that growths on several threads are weighed one after another.
// A mapping not yet touched leaves MemAvailable as it was: two growths weighed
// at once could each fit, and together not.
std::mutex& weighed_growth_mutex();

// Gives back to the system the pages that freed heap blocks still hold. The
// threads a computation shares its work with allocate from malloc arenas of
// their own, which keep what they free resident for requests that, once the
// computation is over, may never come.
void return_freed_memory();

}  // namespace zenqa
