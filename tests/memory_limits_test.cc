// The memory a run may have, read from a system's files: trees of control
// groups built in a folder, v1 and v2, limits on the run's own group or
// above it, cache that can be given back, files missing.

#include "pixelsets/memory_limits.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kMiB = std::uint64_t{1} << 20;
constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint64_t kFallback = 12345 * kMiB;  // no meminfo

// A system's "/" of the test's own: each entry a file under it and its text.
class Root {
 public:
  explicit Root(const std::map<std::string, std::string>& files)
      : path_(fs::temp_directory_path() /
              ("particion-root-" + std::to_string(std::random_device()()))) {
    for (const auto& [name, text] : files) {
      fs::create_directories((path_ / name).parent_path());
      std::ofstream(path_ / name) << text;
    }
  }
  ~Root() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  Root(const Root&) = delete;
  Root& operator=(const Root&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string Bytes(std::uint64_t n) { return std::to_string(n) + "\n"; }

const char kMeminfo[] = "proc/meminfo";
const char kCgroup[] = "proc/self/cgroup";
const char kMounts[] = "proc/self/mountinfo";
const std::string kMeminfo20G =
    "MemTotal: 24000000 kB\nMemFree: 1000 kB\nMemAvailable: 20971520 kB\n";
const std::string kV2Mount =
    "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
const std::string kV1Mount =
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup "
    "rw,memory\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
const std::string kV2 = "sys/fs/cgroup/";
const std::string kV1 = "sys/fs/cgroup/memory/";

TEST(MemoryAvailable, LeastOfTheSystemAndEveryGroupAboveTheRun) {
  struct Case {
    const char* label;
    std::map<std::string, std::string> files;
    std::uint64_t expected;
  };
  const Case cases[] = {
      {"no limit anywhere",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/job/step\n"},
        {kMounts, kV2Mount},
        {kV2 + "job/step/memory.max", "max\n"},
        {kV2 + "job/memory.max", "max\n"}},
       20 * kGiB},
      {"v2, the run's own group",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/job/step\n"},
        {kMounts, kV2Mount},
        {kV2 + "job/step/memory.max", Bytes(kGiB)},
        {kV2 + "job/step/memory.current", Bytes(100 * kMiB)}},
       kGiB - 100 * kMiB},
      {"v2, the parent's limit (a cluster job over its steps)",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/job/step\n"},
        {kMounts, kV2Mount},
        {kV2 + "job/step/memory.max", "max\n"},
        {kV2 + "job/step/memory.current", Bytes(100 * kMiB)},
        {kV2 + "job/memory.max", Bytes(kGiB)},
        {kV2 + "job/memory.current", Bytes(300 * kMiB)}},
       kGiB - 300 * kMiB},
      {"v2, the grandparent's, a slice's memory.high",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/user.slice/app/run\n"},
        {kMounts, kV2Mount},
        {kV2 + "user.slice/memory.high", Bytes(2 * kGiB)},
        {kV2 + "user.slice/memory.current", Bytes(500 * kMiB)}},
       2 * kGiB - 500 * kMiB},
      {"v2, file cache the group can give back",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/box\n"},
        {kMounts, kV2Mount},
        {kV2 + "box/memory.max", Bytes(4 * kGiB)},
        {kV2 + "box/memory.current", Bytes(3900 * kMiB)},
        {kV2 + "box/memory.stat",
         "anon 419430400\nfile 3758096384\nactive_file " +
             std::to_string(1536 * kMiB) + "\ninactive_file " +
             std::to_string(2048 * kMiB) + "\nshmem 0\n"}},
       4 * kGiB - (3900 - 3584) * kMiB},
      {"v2 in a container: its own tree, shown from its top",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/\n"},
        {kMounts, kV2Mount},
        {kV2 + "memory.max", Bytes(kGiB)},
        {kV2 + "memory.current", Bytes(24 * kMiB)}},
       kGiB - 24 * kMiB},
      {"v2, a group the mount does not show",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/docker/abc\n"},
        {kMounts, kV2Mount},
        {kV2 + "memory.max", Bytes(kGiB)},
        {kV2 + "memory.current", Bytes(24 * kMiB)}},
       kGiB - 24 * kMiB},
      {"v1, the run's own group",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "4:memory:/job\n0::/\n"},
        {kMounts, kV1Mount},
        {kV1 + "job/memory.limit_in_bytes", Bytes(kGiB)},
        {kV1 + "job/memory.usage_in_bytes", Bytes(200 * kMiB)},
        {kV1 + "memory.limit_in_bytes", "9223372036854771712\n"}},
       kGiB - 200 * kMiB},
      {"v1, a parent's limit seen only as hierarchical_memory_limit",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "9:cpu,memory:/\n"},
        {kMounts, kV1Mount},
        {kV1 + "memory.limit_in_bytes", "9223372036854771712\n"},
        {kV1 + "memory.usage_in_bytes", Bytes(700 * kMiB)},
        {kV1 + "memory.stat",
         "cache 1000\nhierarchical_memory_limit " + std::to_string(kGiB) +
             "\ntotal_inactive_file " + std::to_string(100 * kMiB) +
             "\ntotal_active_file 0\n"}},
       kGiB - 600 * kMiB},
      {"v1, the parent's own limit",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "4:memory:/batch/job\n"},
        {kMounts, kV1Mount},
        {kV1 + "batch/job/memory.limit_in_bytes", "9223372036854771712\n"},
        {kV1 + "batch/job/memory.usage_in_bytes", Bytes(kMiB)},
        {kV1 + "batch/memory.limit_in_bytes", Bytes(3 * kGiB)},
        {kV1 + "batch/memory.usage_in_bytes", Bytes(kGiB)}},
       2 * kGiB},
      {"no mountinfo: the usual places",
       {{kMeminfo, kMeminfo20G},
        {kCgroup, "0::/a\n"},
        {kV2 + "a/memory.max", Bytes(kGiB)},
        {kV2 + "a/memory.current", Bytes(kGiB + kMiB)}},
       0},
      {"the system tighter than the group",
       {{kMeminfo, "MemAvailable: 512000 kB\n"},
        {kCgroup, "0::/a\n"},
        {kMounts, kV2Mount},
        {kV2 + "a/memory.max", Bytes(4 * kGiB)}},
       512000 * std::uint64_t{1024}},
      {"no /proc", {}, kFallback},
  };
  for (const Case& c : cases) {
    const Root root(c.files);
    EXPECT_EQ(pixelsets::MemoryAvailableUnder(root.path(), kFallback),
              c.expected)
        << c.label;
  }
}

}  // namespace
