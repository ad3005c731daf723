#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zenqa {

// Where the system's figures are read: under ZENQA_TEST_SYSTEM_ROOT when that
// is set, so that tests can stand in files of their own for /proc and /sys.
std::string system_path(const std::string& path);

// The number a cgroup file holds on its first line; nothing for "max" (no
// limit), a missing file or anything else.
std::optional<std::uint64_t> read_count(const std::string& path);

// One line of /proc/self/cgroup: "0::/path" for cgroup v2, or
// "N:controllers:/path" for a v1 hierarchy.
struct CgroupMembership {
    bool unified;             // cgroup v2
    std::string controllers;  // v1: ",cpu,cpuacct," with commas around each name
    std::string path;         // from the hierarchy's root, starting with '/'
};

// The cgroups this process belongs to; lines that are neither form are passed over.
std::vector<CgroupMembership> process_cgroups();

// The directory of the cgroup at `path` in the hierarchy mounted at `mount`
// and those of every cgroup above it, up to the mount itself: a limit set at
// any of them applies. A container that sees its own cgroup at the mount
// point finds its files there.
std::vector<std::string> cgroup_directories(std::string mount, const std::string& path);

}  // namespace zenqa
