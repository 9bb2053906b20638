// What a Linux system's own files say about the memory a run may still
// take: the memory available (/proc/meminfo) and the limits of the run's
// control group and of every group above it, cgroup v1 or v2, with the page
// cache a group could give back counted as free. Read under a root given,
// so that a test can build a tree of its own.

#ifndef PARTICION_SRC_PIXELSETS_MEMORY_LIMITS_H_
#define PARTICION_SRC_PIXELSETS_MEMORY_LIMITS_H_

#include <cstdint>
#include <filesystem>

namespace pixelsets {

// The least of what `root`/proc/meminfo says is available and of what each
// group of the run, from its own up to the top of the tree the system shows,
// has left below its limit (memory.max and memory.high in v2,
// memory.limit_in_bytes and a parent's hierarchical_memory_limit in v1),
// each with the group's file cache counted as free. `system` stands for
// meminfo where it cannot be read. A group whose files cannot be read sets
// no limit.
std::uint64_t MemoryAvailableUnder(const std::filesystem::path& root,
                                   std::uint64_t system);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_MEMORY_LIMITS_H_
