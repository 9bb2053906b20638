#include "pixelsets/bucket_order.h"

#include <algorithm>
#include <bit>
#include <cstring>
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
// to as many places as a digit has values. The keys end in `keys`; `spare`
// holds as many.
void RadixSort(std::uint64_t* keys, std::uint64_t* spare, std::size_t count,
               int low, int high) {
  const int passes = (high - low + kMaxDigitBits - 1) / kMaxDigitBits;
  if (passes == 0) return;
  const int digit_bits = (high - low + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  std::vector<std::size_t> starts(std::size_t{1} << digit_bits);
  std::uint64_t* from = keys;
  std::uint64_t* to = spare;
  for (int shift = low; shift < high; shift += digit_bits) {
    std::fill(starts.begin(), starts.end(), 0);
    const auto digit = [&](std::uint64_t key) {
      return static_cast<std::size_t>((key >> shift) & mask);
    };
    for (std::size_t i = 0; i < count; ++i) ++starts[digit(from[i])];
    std::size_t total = 0;
    for (std::size_t& start : starts) total += std::exchange(start, total);
    for (std::size_t i = 0; i < count; ++i)
      to[starts[digit(from[i])]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::memcpy(keys, from, count * sizeof *keys);
}

}  // namespace

void SortSlots(const std::uint32_t* records, std::size_t slots,
               std::uint64_t limit, std::uint64_t* scratch) {
  // Each slot as a key: the highest record first, then the slot. The slot
  // needs 32 bits; a record number fits in the rest.
  std::uint64_t* keys = scratch;
  for (std::size_t i = 0; i < slots; ++i)
    keys[i] = (limit - 1 - records[i]) << 32 | i;
  const auto bits = static_cast<int>(std::bit_width(limit > 1 ? limit - 1 : 1));
  RadixSort(keys, scratch + slots, slots, 32, 32 + bits);
  // The line of each slot, in slot order: the sort turned inside out.
  auto* line_of = reinterpret_cast<std::uint32_t*>(scratch + slots);
  for (std::size_t j = 0; j < slots; ++j)
    line_of[keys[j] & 0xFFFFFFFF] = static_cast<std::uint32_t>(j);
}

bool FindLineStarts(const char* data, std::size_t size, std::uint32_t* starts,
                    std::size_t lines) {
  std::size_t at = 0;
  for (std::size_t j = 0; j < lines; ++j) {
    const void* end =
        at < size ? std::memchr(data + at, '\n', size - at) : nullptr;
    if (end == nullptr) return false;
    starts[j] = static_cast<std::uint32_t>(at);
    at = static_cast<std::size_t>(static_cast<const char*>(end) - data) + 1;
  }
  return at == size;
}

}  // namespace pixelsets
