#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include "base/memory_room.h"

namespace wakelet {

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        std::size_t at = text.find(separator);
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) return parts;
        text.remove_prefix(at + 1);
    }
}

bool Contains(const std::vector<std::string_view>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::optional<std::string> ReadText(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::optional<std::uint64_t> ParseCount(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    std::string digits(text);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    errno = 0;
    unsigned long long value = std::strtoull(digits.c_str(), nullptr, 10);
    if (errno == ERANGE) return std::nullopt;
    return value;
}

// v1 writes "no limit" as a number near 2^63; v2 as "max".
constexpr std::uint64_t NoLimit = std::uint64_t{1} << 62;

std::optional<std::uint64_t> ReadCount(const std::string& path) {
    auto text = ReadText(path);
    return text ? ParseCount(*text) : std::nullopt;
}

// The sum of the named "key value" lines of a memory.stat file.
std::uint64_t StatSum(const std::string& path, std::string_view first, std::string_view second) {
    auto text = ReadText(path);
    if (!text) return 0;
    std::uint64_t sum = 0;
    for (std::string_view line : Split(*text, '\n')) {
        std::size_t blank = line.find(' ');
        std::string_view key = line.substr(0, blank);
        if (blank != std::string_view::npos && (key == first || key == second))
            sum += ParseCount(line.substr(blank + 1)).value_or(0);
    }
    return sum;
}

// mountinfo escapes blanks and backslashes in paths as octal: "\040".
std::string Unescape(std::string_view field) {
    auto octal = [&](std::size_t i) { return i < field.size() && field[i] >= '0' && field[i] <= '7'; };
    std::string path;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

struct Hierarchy {
    bool v1 = false;
    std::string path;  // the process's cgroup, as /proc/self/cgroup names it
};

std::optional<Hierarchy> MemoryHierarchy(std::string_view cgroups) {
    std::optional<Hierarchy> v2;
    for (std::string_view line : Split(cgroups, '\n')) {
        // "id:controllers:path"; the path may itself hold colons.
        std::size_t first = line.find(':');
        std::size_t second = first == std::string_view::npos ? first : line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        std::string path(line.substr(second + 1));
        if (Contains(Split(controllers, ','), "memory")) return Hierarchy{true, path};
        if (id == "0" && controllers.empty()) v2 = Hierarchy{false, path};
    }
    return v2;
}

// The directory that holds the process's cgroup of `hierarchy`, and that of the
// hierarchy's root as far as it is mounted here.
struct Place {
    std::string cgroup;
    std::string top;
};

std::optional<Place> Locate(const Hierarchy& hierarchy, std::string_view mountinfo) {
    for (std::string_view line : Split(mountinfo, '\n')) {
        // "id parent dev root mountpoint options [optional...] - fstype source superoptions"
        std::size_t dash = line.find(" - ");
        if (dash == std::string_view::npos) continue;
        std::vector<std::string_view> before = Split(line.substr(0, dash), ' ');
        std::vector<std::string_view> after = Split(line.substr(dash + 3), ' ');
        if (before.size() < 5 || after.size() < 3) continue;
        if (hierarchy.v1 ? after[0] != "cgroup" || !Contains(Split(after[2], ','), "memory")
                         : after[0] != "cgroup2")
            continue;
        std::string mountRoot = Unescape(before[3]);
        std::string mountPoint = Unescape(before[4]);
        if (mountRoot == "/") mountRoot.clear();
        const std::string& path = hierarchy.path;
        if (path.compare(0, mountRoot.size(), mountRoot) != 0) continue;
        std::string below = path.substr(mountRoot.size());
        if (!below.empty() && below.front() != '/') continue;
        while (!below.empty() && below.back() == '/') below.pop_back();
        return Place{mountPoint + below, mountPoint};
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> CgroupMemoryRoom(const std::string& root, std::string_view cgroups,
                                              std::string_view mountinfo) {
    auto hierarchy = MemoryHierarchy(cgroups);
    if (!hierarchy) return std::nullopt;
    auto place = Locate(*hierarchy, mountinfo);
    if (!place) return std::nullopt;
    const char* limitFile = hierarchy->v1 ? "/memory.limit_in_bytes" : "/memory.max";
    const char* usageFile = hierarchy->v1 ? "/memory.usage_in_bytes" : "/memory.current";
    // v1 counts a cgroup's descendants' pages under the "total_" names.
    std::string_view inactive = hierarchy->v1 ? "total_inactive_file" : "inactive_file";
    std::string_view active = hierarchy->v1 ? "total_active_file" : "active_file";

    std::optional<std::uint64_t> room;
    std::string level = place->cgroup;
    for (;;) {
        const std::string dir = root + level;
        // "max", a missing file (v2's root) or an unreadable one: no limit at this level.
        auto limit = ReadCount(dir + limitFile);
        if (limit && *limit < NoLimit) {
            std::uint64_t usage = ReadCount(dir + usageFile).value_or(0);
            std::uint64_t used = usage - std::min(usage, StatSum(dir + "/memory.stat", inactive, active));
            std::uint64_t left = *limit > used ? *limit - used : 0;
            room = room ? std::min(*room, left) : left;
        }
        if (level.size() <= place->top.size()) break;
        level.erase(std::max(level.rfind('/'), place->top.size()));
    }
    return room;
}

std::optional<std::uint64_t> SystemMemoryRoom(std::string_view meminfo) {
    std::optional<std::uint64_t> available, swapFree;
    for (std::string_view line : Split(meminfo, '\n')) {
        // "MemAvailable:   123456 kB"
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view key = line.substr(0, colon), value = line.substr(colon + 1);
        if (key != "MemAvailable" && key != "SwapFree") continue;
        while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
        if (value.size() < 3 || value.substr(value.size() - 3) != " kB") continue;
        auto kib = ParseCount(value.substr(0, value.size() - 3));
        if (kib) (key == "MemAvailable" ? available : swapFree) = *kib * 1024;
    }
    if (!available) return std::nullopt;
    return *available + swapFree.value_or(0);
}

bool MemoryAllows(std::uint64_t bytes, const std::string& root) {
    if (auto meminfo = ReadText(root + "/proc/meminfo")) {
        auto room = SystemMemoryRoom(*meminfo);
        if (room && bytes > *room) return false;
    }
    auto cgroups = ReadText(root + "/proc/self/cgroup");
    auto mountinfo = ReadText(root + "/proc/self/mountinfo");
    if (!cgroups || !mountinfo) return true;
    auto room = CgroupMemoryRoom(root, *cgroups, *mountinfo);
    return !room || bytes <= *room;
}

bool MemoryAllows(std::uint64_t bytes) {
    return MemoryAllows(bytes, "");
}

}  // namespace wakelet
