#include "base/memory_check.hpp"

#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "base/cgroups.hpp"
#include "base/refusals.hpp"

namespace zenqa {

namespace {

// MemAvailable, what the kernel can hand out without swapping; the physical
// memory where that is not known.
std::uint64_t machine_available_bytes() {
    if (std::FILE* meminfo = std::fopen(system_path("/proc/meminfo").c_str(), "r")) {
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

// The value of `key` in a memory.stat file; nothing if it is not there.
std::optional<std::uint64_t> read_stat(const std::string& path, const std::string& key) {
    std::ifstream file(path);
    std::string name;
    std::uint64_t value = 0;
    while (file >> name >> value)
        if (name == key) return value;
    return std::nullopt;
}

struct CgroupFiles {
    const char* limit;
    const char* usage;
    const char* inactive_file;  // the key in memory.stat of page cache the kernel reclaims first
};

constexpr CgroupFiles cgroup_v2_files{"memory.max", "memory.current", "inactive_file"};
constexpr CgroupFiles cgroup_v1_files{"memory.limit_in_bytes", "memory.usage_in_bytes", "total_inactive_file"};

// What the cgroup at `path` of the hierarchy mounted at `mount`, and every
// cgroup above it, still allow: the least of limit minus usage where both
// files can be read. Usage counts page cache; the inactive part of it is given
// back before the limit bites, so it counts as available.
std::uint64_t cgroup_remaining_bytes(const std::string& mount, const std::string& path, const CgroupFiles& files) {
    std::uint64_t remaining = UINT64_MAX;
    for (const std::string& directory : cgroup_directories(mount, path)) {
        const auto limit = read_count(directory + "/" + files.limit);
        auto usage = read_count(directory + "/" + files.usage);
        if (!limit || !usage) continue;
        *usage -= std::min(*usage, read_stat(directory + "/memory.stat", files.inactive_file).value_or(0));
        remaining = std::min(remaining, *limit > *usage ? *limit - *usage : 0);
    }
    return remaining;
}

// The least that the process's memory cgroups, v1 or v2, still allow.
std::uint64_t cgroup_available_bytes() {
    std::uint64_t available = UINT64_MAX;
    for (const CgroupMembership& cgroup : process_cgroups()) {
        if (cgroup.unified) {
            available = std::min(available,
                                 cgroup_remaining_bytes(system_path("/sys/fs/cgroup"), cgroup.path, cgroup_v2_files));
        } else if (cgroup.controllers.find(",memory,") != std::string::npos) {
            available = std::min(
                available, cgroup_remaining_bytes(system_path("/sys/fs/cgroup/memory"), cgroup.path, cgroup_v1_files));
        }
    }
    return available;
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
    const std::uint64_t available = std::min(machine_available_bytes(), cgroup_available_bytes());
    if (bytes && *bytes <= available) return;
    const std::string needed =
        bytes ? std::to_string(*bytes) + " bytes (" + human_bytes(*bytes) + ")" : std::string("more than 2**64 bytes");
    throw MemoryShortage(what + " needs " + needed + ", but this machine has " + std::to_string(available) +
                         " bytes (" + human_bytes(available) + ") of memory available");
}

std::mutex& weighed_growth_mutex() {
    static std::mutex mutex;
    return mutex;
}

void return_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace zenqa
