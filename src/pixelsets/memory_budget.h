// How a source is held: whether it fits in memory beside its index, from
// what it needs and what the system can give.

#ifndef PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_
#define PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_

#include <cstdint>

namespace pixelsets {

// Whether a source of `size` bytes, with its index, fits in `available`
// bytes of memory with room to spare.
bool FitsInMemory(std::uint64_t size, std::uint64_t available);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_
