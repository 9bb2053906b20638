#include "pixelsets/memory_budget.h"

namespace pixelsets {

bool FitsInMemory(std::uint64_t size, std::uint64_t available) {
  // The text, an index of up to a quarter of it (records of 16 bytes or
  // more), the gatherers' chunks (an eighth), and room for the program and
  // the set files' buffers.
  constexpr std::uint64_t kRoom = std::uint64_t{64} << 20;
  return size < available && size / 4 + size / 8 + kRoom < available - size;
}

}  // namespace pixelsets
