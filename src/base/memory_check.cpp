#include "base/memory_check.hpp"

#include <unistd.h>

#include <cstdio>

#include "base/fault.hpp"

namespace zenqa {

namespace {

// MemAvailable, what the kernel can hand out without swapping; the physical
// memory where that is not known.
std::uint64_t available_memory_bytes() {
    if (std::FILE* meminfo = std::fopen("/proc/meminfo", "r")) {
        char line[128];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, meminfo) != nullptr)
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(meminfo);
        if (found) return static_cast<std::uint64_t>(kib) * 1024;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;  // unknown: let the allocator decide
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
}

std::string human_bytes(std::uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

}  // namespace

void weigh_request(std::optional<std::uint64_t> bytes, const std::string& what) {
    const std::uint64_t available = available_memory_bytes();
    if (bytes && *bytes <= available) return;
    const std::string needed =
        bytes ? std::to_string(*bytes) + " bytes (" + human_bytes(*bytes) + ")" : std::string("more than 2**64 bytes");
    throw MemoryShortage(what + " needs " + needed + ", but this machine has " + std::to_string(available) +
                         " bytes (" + human_bytes(available) + ") of memory available");
}

}  // namespace zenqa
