#include "base/memory_check.hpp"

#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "base/refusals.hpp"

namespace zenqa {

namespace {

// Where the system's figures are read: under ZENQA_TEST_SYSTEM_ROOT when that
// is set, so that tests can stand in files of their own for /proc and /sys.
std::string system_path(const std::string& path) {
    const char* root = std::getenv("ZENQA_TEST_SYSTEM_ROOT");
    return root == nullptr ? path : root + path;
}

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

// The number a cgroup file holds on its first line; nothing for "max" (no
// limit), a missing file or anything else.
std::optional<std::uint64_t> read_count(const std::string& path) {
    std::ifstream file(path);
    char line[32];  // a 64-bit count has 20 digits; longer lines are not counts
    if (!file.getline(line, sizeof line)) return std::nullopt;
    const char* end = line + std::char_traits<char>::length(line);
    std::uint64_t value = 0;
    const auto [parsed_end, error] = std::from_chars(line, end, value);
    if (error != std::errc() || parsed_end != end) return std::nullopt;
    return value;
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

// What the cgroup at top + path and every cgroup above it, up to top, still
// allow: the least of limit minus usage where both files can be read. Usage
// counts page cache; the inactive part of it is given back before the limit
// bites, so it counts as available.
std::uint64_t cgroup_remaining_bytes(std::string top, const std::string& path, const CgroupFiles& files) {
    std::uint64_t remaining = UINT64_MAX;
    std::string directory = top + path;
    while (!directory.empty() && directory.back() == '/') directory.pop_back();
    while (!top.empty() && top.back() == '/') top.pop_back();
    for (;;) {
        const auto limit = read_count(directory + "/" + files.limit);
        auto usage = read_count(directory + "/" + files.usage);
        if (limit && usage) {
            *usage -= std::min(*usage, read_stat(directory + "/memory.stat", files.inactive_file).value_or(0));
            remaining = std::min(remaining, *limit > *usage ? *limit - *usage : 0);
        }
        if (directory.size() <= top.size()) break;
        directory.erase(directory.rfind('/'));
    }
    return remaining;
}

// The least that the process's memory cgroups still allow, from the lines
// "0::/path" (cgroup v2) and "N:...memory...:/path" (v1) of /proc/self/cgroup.
std::uint64_t cgroup_available_bytes() {
    std::ifstream cgroups(system_path("/proc/self/cgroup"));
    std::uint64_t available = UINT64_MAX;
    std::string line;
    while (std::getline(cgroups, line)) {
        const auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        std::string controllers = ",";  // appended: GCC 12 warns falsely (-Wrestrict) on a + chain
        controllers.append(line, first + 1, second - first - 1).append(",");
        const std::string path = line.substr(second + 1);
        if (path.empty() || path.front() != '/') continue;
        if (line.compare(0, second + 1, "0::") == 0) {
            available =
                std::min(available, cgroup_remaining_bytes(system_path("/sys/fs/cgroup"), path, cgroup_v2_files));
        } else if (controllers.find(",memory,") != std::string::npos) {
            available = std::min(available,
                                 cgroup_remaining_bytes(system_path("/sys/fs/cgroup/memory"), path, cgroup_v1_files));
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

void return_freed_memory() {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

}  // namespace zenqa
