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

TEST(SystemMemoryRoom, AvailableMemoryAndFreeSwap) {
    const struct {
        const char* meminfo;
        std::optional<std::uint64_t> room;
    } rows[] = {
        {"MemTotal:  2000 kB\nMemFree:  100 kB\nMemAvailable:  1000 kB\nSwapTotal:  500 kB\nSwapFree:  24 "
         "kB\n",
         1024 * 1024},
        {"MemAvailable:       3 kB\n", 3 * 1024},                // no swap at all
        {"MemTotal: 2000 kB\nMemFree: 100 kB\n", std::nullopt},  // a kernel that does not say
    };
    for (const auto& row : rows) EXPECT_EQ(SystemMemoryRoom(row.meminfo), row.room) << row.meminfo;
}

}  // namespace
}  // namespace wakelet
