#include "base/memory_room.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>

namespace wakelet {
namespace {

namespace fs = std::filesystem;

const char V2Mount[] = "40 30 0:37 / /sys/fs/cgroup rw,relatime - cgroup2 cgroup2 rw\n";
// A v1 memory hierarchy mounted from inside a container's cgroup, beside an unrelated v2 one.
const char V1Mounts[] =
    "31 30 0:28 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
    "34 30 0:31 /ctr /sys/fs/cgroup/mem\\040ory rw,relatime shared:9 - cgroup cgroup rw,memory\n"
    "40 30 0:37 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
const char V1Cgroups[] = "1:cpu:/\n4:memory:/ctr/job\n0::/\n";
const char V1Unlimited[] = "9223372036854771712\n";

TEST(CgroupMemoryRoom, TightestLimitLessWhatCannotBeReclaimed) {
    const struct {
        const char* what;
        const char* cgroups;
        const char* mountinfo;
        std::map<std::string, std::string> files;  // under the fake root's /sys/fs/cgroup
        std::optional<std::uint64_t> room;
    } rows[] = {
        {"v2: file pages do not count",
         "0::/app.slice/w.service\n",
         V2Mount,
         {{"app.slice/w.service/memory.max", "1000000\n"},
          {"app.slice/w.service/memory.current", "300000\n"},
          {"app.slice/w.service/memory.stat",
           "anon 100000\nfile 200000\ninactive_file 150000\nactive_file 50000\n"}},
         900000},
        {"v2: a parent's limit, with its other children's use, is tighter",
         "0::/app.slice/w.service\n",
         V2Mount,
         {{"app.slice/w.service/memory.max", "max\n"},
          {"app.slice/w.service/memory.current", "1000\n"},
          {"app.slice/memory.max", "500000\n"},
          {"app.slice/memory.current", "400000\n"},
          {"app.slice/memory.stat", "inactive_file 30000\nactive_file 0\n"}},
         130000},
        {"v2: use beyond the limit leaves nothing",
         "0::/w\n",
         V2Mount,
         {{"w/memory.max", "1000\n"}, {"w/memory.current", "5000\n"}},
         0},
        {"v2: no limit anywhere",
         "0::/w\n",
         V2Mount,
         {{"w/memory.max", "max\n"}, {"w/memory.current", "5000\n"}},
         std::nullopt},
        {"v1 wins over v2, below the mount's root, with the hierarchy's totals",
         V1Cgroups,
         V1Mounts,
         {{"mem ory/job/memory.limit_in_bytes", "2000000\n"},
          {"mem ory/job/memory.usage_in_bytes", "1500000\n"},
          {"mem ory/job/memory.stat",
           "inactive_file 1\nactive_file 1\ntotal_inactive_file 400000\ntotal_active_file 100000\n"},
          {"mem ory/memory.limit_in_bytes", V1Unlimited},
          {"unified/memory.max", "1\n"}},
         1000000},
        {"v1: an ancestor's limit",
         V1Cgroups,
         V1Mounts,
         {{"mem ory/job/memory.limit_in_bytes", V1Unlimited},
          {"mem ory/memory.limit_in_bytes", "700000\n"},
          {"mem ory/memory.usage_in_bytes", "200000\n"}},
         500000},
        {"v1: unlimited",
         V1Cgroups,
         V1Mounts,
         {{"mem ory/job/memory.limit_in_bytes", V1Unlimited}, {"mem ory/memory.limit_in_bytes", V1Unlimited}},
         std::nullopt},
        {"the memory hierarchy is not mounted", V1Cgroups, V2Mount, {{"memory.max", "1\n"}}, std::nullopt},
    };
    for (const auto& row : rows) {
        fs::path root = fs::temp_directory_path() / ("wakelet-cgroup-" + std::to_string(::getpid()));
        for (const auto& [name, text] : row.files) {
            const fs::path file = root / "sys/fs/cgroup" / name;
            fs::create_directories(file.parent_path());
            std::ofstream(file) << text;
        }
        EXPECT_EQ(CgroupMemoryRoom(root.string(), row.cgroups, row.mountinfo), row.room) << row.what;
        fs::remove_all(root);
    }
}

// The whole check on a fake tree: the machine's room (available memory and free swap) and
// a cgroup's, at their edges.
TEST(MemoryAllows, WhatTheMachineAndTheCgroupCanStillGive) {
    constexpr std::uint64_t Hour = 158760000ull * 4;  // the longest buffer's bytes
    const char Plenty[] = "MemAvailable: 9000000 kB\n";
    const struct {
        const char* what;
        const char* meminfo;    // nullptr: unreadable
        const char* memoryMax;  // the cgroup's limit, with nothing in use; nullptr: no cgroups
        std::uint64_t bytes;
        bool allowed;
    } rows[] = {
        {"memory and swap, exactly", "MemTotal: 2 kB\nMemAvailable: 1000 kB\nSwapFree: 24 kB\n", nullptr,
         1048576, true},
        {"a byte over them", "MemAvailable: 1000 kB\nSwapFree: 24 kB\n", nullptr, 1048577, false},
        {"no swap said", "MemAvailable: 3 kB\n", nullptr, 3073, false},
        {"a kernel that does not say", "MemTotal: 2000 kB\nMemFree: 100 kB\n", nullptr, Hour, true},
        {"the cgroup's limit, exactly", Plenty, "635040000\n", Hour, true},
        {"a byte over the cgroup's limit", Plenty, "635039999\n", Hour, false},
        {"no limit", Plenty, "max\n", Hour, true},
        {"nothing readable", nullptr, nullptr, Hour, true},
    };
    for (const auto& row : rows) {
        fs::path root = fs::temp_directory_path() / ("wakelet-memory-" + std::to_string(::getpid()));
        fs::create_directories(root / "proc/self");
        fs::create_directories(root / "sys/fs/cgroup/w");
        if (row.meminfo) std::ofstream(root / "proc/meminfo") << row.meminfo;
        if (row.memoryMax) {
            std::ofstream(root / "proc/self/cgroup") << "0::/w\n";
            std::ofstream(root / "proc/self/mountinfo") << V2Mount;
            std::ofstream(root / "sys/fs/cgroup/w/memory.max") << row.memoryMax;
            std::ofstream(root / "sys/fs/cgroup/w/memory.current") << "0\n";
        }
        EXPECT_EQ(MemoryAllows(row.bytes, root.string()), row.allowed) << row.what;
        fs::remove_all(root);
    }
}

}  // namespace
}  // namespace wakelet
