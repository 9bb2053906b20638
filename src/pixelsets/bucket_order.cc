#include "pixelsets/bucket_order.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

namespace pixelsets {
namespace {

// A radix sort's digits at most: 8192 counts stay within the second-level
// cache, so 26-bit record numbers (60 million records) take two passes and
// 31-bit ones three.
constexpr int kMaxDigitBits = 13;

// Sorts `count` keys whose sort bits lie in [low, high) by those bits, from
// the least significant digit up: as few passes as digits of at most
// kMaxDigitBits allow, each reading the keys once in order and writing them
// to as many places as a digit has values. The last pass keeps only each
// key's low 32 bits, written as 32-bit words to `keys` or `spare` (which
// holds as many keys): returns which.
std::uint32_t* RadixSort(std::uint64_t* keys, std::uint64_t* spare,
                         std::size_t count, int low, int high) {
  const int passes = std::max(1, (high - low + kMaxDigitBits - 1) /
                                     kMaxDigitBits);
  const int digit_bits = (high - low + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  std::vector<std::size_t> starts(std::size_t{1} << digit_bits);
  std::uint64_t* from = keys;
  std::uint64_t* to = spare;
  for (int pass = 0; pass < passes; ++pass) {
    const int shift = low + pass * digit_bits;
    std::fill(starts.begin(), starts.end(), 0);
    const auto digit = [&](std::uint64_t key) {
      return static_cast<std::size_t>((key >> shift) & mask);
    };
    for (std::size_t i = 0; i < count; ++i) ++starts[digit(from[i])];
    std::size_t total = 0;
    for (std::size_t& start : starts) total += std::exchange(start, total);
    if (pass + 1 == passes) {
      // The 32-bit words fill the first half of `to` only: one pass of
      // writing saved, and half the memory left free.
      auto* low_words = reinterpret_cast<std::uint32_t*>(to);
      for (std::size_t i = 0; i < count; ++i)
        low_words[starts[digit(from[i])]++] =
            static_cast<std::uint32_t>(from[i]);
      return low_words;
    }
    for (std::size_t i = 0; i < count; ++i)
      to[starts[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  return nullptr;  // not reached: there is always a pass
}

}  // namespace

SortedSlots SortSlots(const std::uint32_t* records, std::size_t slots,
                      std::uint64_t limit, std::uint64_t* scratch) {
  // Each slot as a key: the highest record first, then the slot. The slot
  // needs 32 bits; a record number fits in the rest.
  std::uint64_t* keys = scratch;
  for (std::size_t i = 0; i < slots; ++i)
    keys[i] = (limit - 1 - records[i]) << 32 | i;
  const auto bits = static_cast<int>(std::bit_width(limit > 1 ? limit - 1 : 1));
  std::uint32_t* sorted = RadixSort(keys, scratch + slots, slots, 32, 32 + bits);
  // The half of the scratch the result is not in is free.
  auto* spare = reinterpret_cast<std::uint32_t*>(
      sorted == reinterpret_cast<std::uint32_t*>(keys) ? scratch + slots
                                                       : scratch);
  return {sorted, spare};
}

}  // namespace pixelsets
