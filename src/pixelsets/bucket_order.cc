#include "pixelsets/bucket_order.h"

#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

namespace pixelsets {
namespace {

// A pass of a radix sort takes a digit of at most this many bits: its
// counts stay within the first-level cache.
constexpr int kMaxDigitBits = 11;
// The first pass spreads the keys over bins of about this many keys (128
// KiB, and as much to sort them in: within the second-level cache), and
// each bin is then sorted where it lies. On a bucket of 9.6 million slots,
// 35 ms; bins of 2048 and 4096 keys, 57 to 70 ms, with as many more places
// to spread to.
constexpr std::size_t kBinKeys = 16384;

// Sorts `count` keys by their bits [low, high), from the least significant
// digit up, between `keys` and `spare` (as many); returns where they end.
std::uint64_t* SortSmall(std::uint64_t* keys, std::uint64_t* spare,
                         std::size_t count, int low, int high,
                         std::vector<std::uint32_t>* starts) {
  const int passes = (high - low + kMaxDigitBits - 1) / kMaxDigitBits;
  if (passes == 0) return keys;
  const int digit_bits = (high - low + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
  starts->resize(std::size_t{1} << digit_bits);
  for (int shift = low; shift < high; shift += digit_bits) {
    std::fill(starts->begin(), starts->end(), 0);
    const auto digit = [&](std::uint64_t key) {
      return static_cast<std::size_t>((key >> shift) & mask);
    };
    for (std::size_t i = 0; i < count; ++i) ++(*starts)[digit(keys[i])];
    std::uint32_t total = 0;
    for (std::uint32_t& start : *starts) total += std::exchange(start, total);
    for (std::size_t i = 0; i < count; ++i)
      spare[(*starts)[digit(keys[i])]++] = keys[i];
    std::swap(keys, spare);
  }
  return keys;
}

}  // namespace

SortedSlots SortSlots(const std::uint32_t* records, std::size_t slots,
                      std::uint64_t limit, std::uint64_t* scratch) {
  // Each slot as a key: the highest record first, then the slot. The slot
  // needs 32 bits; a record number fits in the rest.
  const auto bits = static_cast<int>(std::bit_width(limit > 1 ? limit - 1 : 1));
  const int top =
      std::min({bits, 16, static_cast<int>(std::bit_width(slots / kBinKeys))});
  const int shift = 32 + bits - top;
  const auto key = [&](std::size_t i) {
    return (limit - 1 - records[i]) << 32 | i;
  };
  // The keys spread over bins by their top bits (at most 16 of them), in
  // the first half.
  const auto bin = [&](std::uint64_t k) {
    return static_cast<std::size_t>(k >> shift);
  };
  std::vector<std::size_t> bins((std::size_t{1} << top) + 1);
  for (std::size_t i = 0; i < slots; ++i) ++bins[bin(key(i)) + 1];
  std::size_t largest = 0;
  for (std::size_t b = 1; b < bins.size(); ++b) {
    largest = std::max(largest, bins[b]);
    bins[b] += bins[b - 1];
  }
  std::uint64_t* keys = scratch;
  {
    std::vector<std::size_t> next(bins.begin(), bins.end() - 1);
    for (std::size_t i = 0; i < slots; ++i) {
      const std::uint64_t k = key(i);
      keys[next[bin(k)]++] = k;
    }
  }
  // Each bin sorted by the rest of the bits, and its slots written, as
  // 32-bit words, to the second half.
  auto* sorted = reinterpret_cast<std::uint32_t*>(scratch + slots);
  std::vector<std::uint64_t> spare(largest);
  std::vector<std::uint32_t> starts;
  for (std::size_t b = 0; b + 1 < bins.size(); ++b) {
    const std::size_t count = bins[b + 1] - bins[b];
    const std::uint64_t* done =
        SortSmall(keys + bins[b], spare.data(), count, 32, shift, &starts);
    for (std::size_t i = 0; i < count; ++i)
      sorted[bins[b] + i] = static_cast<std::uint32_t>(done[i]);
  }
  return {sorted, reinterpret_cast<std::uint32_t*>(scratch)};
}

}  // namespace pixelsets
