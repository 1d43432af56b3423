// The memory a Linux memory cgroup still lets the process have. A limit there does not
// refuse an allocation: the kernel kills the process when it touches the pages. So a
// block that is about to be filled is measured against the limit first, and refused as
// any other allocation would be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wakelet {

#ifdef _WIN32

// A job object's memory limit refuses the allocation itself.
inline bool MemoryLimitAllows(std::uint64_t) {
    return true;
}

#else

// Whether `bytes` more fit under every memory limit of the process's cgroup and of its
// ancestors. True where nothing limits, or where the limits cannot be read.
bool MemoryLimitAllows(std::uint64_t bytes);

// The bytes the tightest of those limits still allows, or none where nothing limits (v1
// writes no limit as a number near 2^63: limits from 2^62 bytes up count as none).
// `root` stands for "/" (empty for the real system; a test's fake tree otherwise);
// `cgroups` and `mountinfo` are the texts of /proc/self/cgroup and /proc/self/mountinfo.
// A cgroup v1 memory hierarchy is used where the process has one, else cgroup v2. At
// each level, what is in use minus its file pages (which the kernel reclaims before it
// kills) counts against the limit.
std::optional<std::uint64_t> CgroupMemoryRoom(const std::string& root, std::string_view cgroups,
                                              std::string_view mountinfo);

#endif

}  // namespace wakelet
