// The memory the process can still fill without being killed for it. On Linux an
// allocation is granted on credit: a memory cgroup's limit, or a machine with too little
// memory and swap, does not refuse it, and the kernel kills the process once it touches
// the pages. So a block that is about to be filled is measured against both first, and
// refused as any other allocation would be.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace wakelet {

#ifdef _WIN32

// Windows refuses an allocation beyond its commit limit or a job object's limit itself.
inline bool MemoryAllows(std::uint64_t) {
    return true;
}

#else

// Whether `bytes` more fit under every memory limit of the process's cgroup and of its
// ancestors, and in what the machine can still give. True where what limits cannot be read.
bool MemoryAllows(std::uint64_t bytes);
// The same, with `root` standing for "/" (a test's fake tree), /proc/self included.
bool MemoryAllows(std::uint64_t bytes, const std::string& root);

// The bytes the tightest of those cgroup limits still allows, or none where nothing limits
// (v1 writes no limit as a number near 2^63: limits from 2^62 bytes up count as none).
// `root` stands for "/" (empty for the real system; a test's fake tree otherwise);
// `cgroups` and `mountinfo` are the texts of /proc/self/cgroup and /proc/self/mountinfo.
// A cgroup v1 memory hierarchy is used where the process has one, else cgroup v2. At
// each level, what is in use minus its file pages (which the kernel reclaims before it
// kills) counts against the limit.
std::optional<std::uint64_t> CgroupMemoryRoom(const std::string& root, std::string_view cgroups,
                                              std::string_view mountinfo);

// What the machine can still give, from the text of /proc/meminfo: the memory available
// without swapping, and the swap that is free. None where the text does not say.
std::optional<std::uint64_t> SystemMemoryRoom(std::string_view meminfo);

#endif

}  // namespace wakelet
