#include "pixelsets/bucket_order.h"

#include <bit>
#include <cstring>
#include <utility>

namespace pixelsets {
namespace {

// A radix sort's digits: 2048 counts stay within the first-level cache, and
// 31-bit record numbers take three passes.
constexpr int kDigitBits = 11;
constexpr std::size_t kDigits = std::size_t{1} << kDigitBits;

// Sorts `count` keys whose sort bits lie in [low, high) by those bits, from
// the least significant digit up: passes that each read the keys once in
// order and write them to 2048 places, which the caches take in stride.
// The keys end in `keys`; `spare` holds as many.
void RadixSort(std::uint64_t* keys, std::uint64_t* spare, std::size_t count,
               int low, int high) {
  std::uint64_t* from = keys;
  std::uint64_t* to = spare;
  for (int shift = low; shift < high; shift += kDigitBits) {
    std::size_t starts[kDigits] = {};
    for (std::size_t i = 0; i < count; ++i)
      ++starts[(from[i] >> shift) & (kDigits - 1)];
    std::size_t total = 0;
    for (std::size_t& start : starts) total += std::exchange(start, total);
    for (std::size_t i = 0; i < count; ++i)
      to[starts[(from[i] >> shift) & (kDigits - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::memcpy(keys, from, count * sizeof *keys);
}

}  // namespace

bool OrderBucket(const char* data, std::size_t size, std::uint32_t* records,
                 std::size_t slots, std::uint64_t limit, std::uint64_t* scratch,
                 std::uint64_t* lengths) {
  // Each slot as a key: the highest record first, then the slot. The slot
  // needs 32 bits; a record number fits in the rest.
  std::uint64_t* keys = scratch;
  for (std::size_t i = 0; i < slots; ++i)
    keys[i] = (limit - 1 - records[i]) << 32 | i;
  const auto bits = static_cast<int>(std::bit_width(limit > 1 ? limit - 1 : 1));
  RadixSort(keys, scratch + slots, slots, 32, 32 + bits);
  // The bucket's lines in turn, each where its slot's record starts and
  // how long it is.
  std::size_t at = 0;
  for (std::size_t j = 0; j < slots; ++j) {
    const void* end =
        at < size ? std::memchr(data + at, '\n', size - at) : nullptr;
    if (end == nullptr) return false;
    const auto stop =
        static_cast<std::size_t>(static_cast<const char*>(end) - data);
    const std::uint64_t slot = keys[j] & 0xFFFFFFFF;
    records[slot] = static_cast<std::uint32_t>(at);
    lengths[slot] = stop - at;
    at = stop + 1;
  }
  return at == size;
}

}  // namespace pixelsets
