#include "pixelsets/memory_limits.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace pixelsets {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kNoLimit = static_cast<std::uint64_t>(-1);

// The number a group's file starts with; none for "max" (no limit), or a
// file that is not there.
std::optional<std::uint64_t> ReadNumber(const fs::path& path) {
  std::ifstream in(path);
  unsigned long long value = 0;
  if (!(in >> value)) return std::nullopt;
  return static_cast<std::uint64_t>(value);
}

// The "key value" lines of a memory.stat or, with `kib`, "Key: value kB"
// lines of /proc/meminfo.
std::map<std::string, std::uint64_t> ReadTable(const fs::path& path,
                                               bool kib = false) {
  std::map<std::string, std::uint64_t> table;
  std::ifstream in(path);
  std::string key;
  unsigned long long value = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    if (!(fields >> key >> value)) continue;
    if (kib && !key.empty() && key.back() == ':') key.pop_back();
    table[key] = kib ? static_cast<std::uint64_t>(value) << 10 : value;
  }
  return table;
}

std::uint64_t Get(const std::map<std::string, std::uint64_t>& table,
                  const char* key) {
  const auto found = table.find(key);
  return found == table.end() ? 0 : found->second;
}

// What is left below `limit` of a group that uses `used` bytes, `cache` of
// them file pages the system would give back before it ended the run.
std::uint64_t Left(std::uint64_t limit, std::uint64_t used,
                   std::uint64_t cache) {
  const std::uint64_t held = used - std::min(used, cache);
  return limit > held ? limit - held : 0;
}

// What group `dir` of a v2 tree has left.
std::uint64_t LeftInV2(const fs::path& dir) {
  const std::uint64_t limit =
      std::min(ReadNumber(dir / "memory.max").value_or(kNoLimit),
               ReadNumber(dir / "memory.high").value_or(kNoLimit));
  if (limit == kNoLimit) return kNoLimit;
  const auto stat = ReadTable(dir / "memory.stat");
  return Left(limit, ReadNumber(dir / "memory.current").value_or(0),
              Get(stat, "active_file") + Get(stat, "inactive_file"));
}

// What group `dir` of a v1 memory tree has left: below its own limit, and
// below the least limit of the groups above it, which v1 tells even where
// they cannot be seen (a container's).
std::uint64_t LeftInV1(const fs::path& dir) {
  const auto stat = ReadTable(dir / "memory.stat");
  const auto hierarchical = stat.find("hierarchical_memory_limit");
  const std::uint64_t limit =
      std::min(ReadNumber(dir / "memory.limit_in_bytes").value_or(kNoLimit),
               hierarchical == stat.end() ? kNoLimit : hierarchical->second);
  if (limit == kNoLimit) return kNoLimit;
  return Left(
      limit, ReadNumber(dir / "memory.usage_in_bytes").value_or(0),
      Get(stat, "total_active_file") + Get(stat, "total_inactive_file"));
}

// A path of /proc/self/mountinfo, whose blanks and the like are written as
// octal escapes ("\040").
std::string Unescaped(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() &&
        std::strchr("0123", field[i + 1]) != nullptr) {
      out.push_back(
          static_cast<char>(std::stoi(field.substr(i + 1, 3), nullptr, 8)));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

// Where a cgroup tree is mounted: the group it shows at `point`.
struct Mount {
  std::string root = "/";
  std::string point;
};

// The mount of the v2 tree, or of the v1 tree of the memory controller.
std::optional<Mount> FindMount(const fs::path& root, bool v2) {
  std::ifstream in(root / "proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> before;  // the fields before " - "
    std::string field;
    while (fields >> field && field != "-") before.push_back(field);
    std::string type;
    std::string source;
    std::string options;
    if (before.size() < 5 || !(fields >> type >> source >> options)) continue;
    const bool memory =
        ("," + options + ",").find(",memory,") != std::string::npos;
    if (v2 ? type == "cgroup2" : (type == "cgroup" && memory))
      return Mount{Unescaped(before[3]), Unescaped(before[4])};
  }
  return std::nullopt;
}

// The least room of group `group` and of every group above it that the
// mount shows.
std::uint64_t LeftInTree(const fs::path& root, const std::string& group,
                         bool v2) {
  const Mount mount = FindMount(root, v2).value_or(
      Mount{"/", v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory"});
  const fs::path top = root / fs::path(mount.point).relative_path();
  // The group as the mount shows it.
  fs::path dir = top;
  const std::string shown =
      mount.root.empty() ? std::string(1, '/') : mount.root;
  const bool inside = group.compare(0, shown.size(), shown) == 0 &&
                      (shown.back() == '/' || group.size() == shown.size() ||
                       group[shown.size()] == '/');
  if (inside) {
    const fs::path below = fs::path(group.substr(shown.size())).relative_path();
    if (!below.empty()) dir = top / below;
  }
  // A group that is not there is one the mount does not show (a
  // container's own tree, shown from its top): the nearest group above it
  // that is there stands for it.
  std::error_code ec;
  while (dir != top && dir.has_relative_path() && !fs::is_directory(dir, ec))
    dir = dir.parent_path();
  std::uint64_t left = kNoLimit;
  for (;;) {
    left = std::min(left, v2 ? LeftInV2(dir) : LeftInV1(dir));
    if (dir == top || !dir.has_relative_path()) break;  // the tree's top
    dir = dir.parent_path();
  }
  return left;
}

}  // namespace

std::uint64_t MemoryAvailableUnder(const fs::path& root, std::uint64_t system) {
  const auto meminfo = ReadTable(root / "proc/meminfo", /*kib=*/true);
  const auto available = meminfo.find("MemAvailable");
  std::uint64_t left = available != meminfo.end() ? available->second : system;
  // "0::/PATH" names the v2 group; "N:CONTROLLERS:/PATH" a v1 group, of
  // which only the memory controller's has a say here. Read whole and closed
  // first, so that the walk holds one file at a time: the streamed draw sets
  // aside only so many files beside its buckets.
  std::vector<std::string> lines;
  {
    std::ifstream in(root / "proc/self/cgroup");
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
  }
  for (const std::string& line : lines) {
    const std::size_t first = line.find(':');
    const std::size_t second =
        first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    const std::string group = line.substr(second + 1);
    const bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
    const bool memory =
        ("," + controllers + ",").find(",memory,") != std::string::npos;
    if (v2 || memory) left = std::min(left, LeftInTree(root, group, v2));
  }
  return left;
}

}  // namespace pixelsets
