#include "base/cgroups.hpp"

#include <charconv>
#include <cstdlib>
#include <fstream>

namespace zenqa {

std::string system_path(const std::string& path) {
    const char* root = std::getenv("ZENQA_TEST_SYSTEM_ROOT");
    return root == nullptr ? path : root + path;
}

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

std::vector<CgroupMembership> process_cgroups() {
    std::ifstream cgroups(system_path("/proc/self/cgroup"));
    std::vector<CgroupMembership> found;
    std::string line;
    while (std::getline(cgroups, line)) {
        const auto first = line.find(':'), second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        CgroupMembership membership{line.compare(0, second + 1, "0::") == 0, ",", line.substr(second + 1)};
        // appended: GCC 12 warns falsely (-Wrestrict) on a + chain
        membership.controllers.append(line, first + 1, second - first - 1).append(",");
        if (membership.path.empty() || membership.path.front() != '/') continue;
        found.push_back(std::move(membership));
    }
    return found;
}

std::vector<std::string> cgroup_directories(std::string mount, const std::string& path) {
    std::string directory = mount + path;
    while (!directory.empty() && directory.back() == '/') directory.pop_back();
    while (!mount.empty() && mount.back() == '/') mount.pop_back();
    std::vector<std::string> directories;
    for (;;) {
        directories.push_back(directory);
        if (directory.size() <= mount.size()) break;
        directory.erase(directory.rfind('/'));
    }
    return directories;
}

}  // namespace zenqa
