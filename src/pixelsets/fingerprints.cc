#include "pixelsets/fingerprints.h"

#include <algorithm>
#include <cstring>

#include "pixelsets/prefetch.h"
#include "pixelsets/record.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

// The round and the final mix of xxHash64: four independent lanes, so that
// the multiplies overlap and a block is summed at the speed of memory.
constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ULL;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4FULL;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ULL;

constexpr std::uint64_t RotateLeft(std::uint64_t x, int bits) {
  return (x << bits) | (x >> (64 - bits));
}

constexpr std::uint64_t Round(std::uint64_t lane, std::uint64_t word) {
  return RotateLeft(lane + word * kPrime2, 31) * kPrime1;
}

// Below this many blocks a second thread is not worth starting.
constexpr std::size_t kThreadFrom = 16;

void SumRange(const char* text, std::size_t size, std::size_t first,
              std::size_t last, std::uint64_t* sums) {
  for (std::size_t b = first; b < last; ++b) {
    const std::size_t start = b * kSumBlock;
    const std::size_t length = std::min(kSumBlock, size - start);
    sums[b] = BlockSum(text + start, length);
  }
}

}  // namespace

std::uint64_t BlockSum(const char* data, std::size_t size) {
  std::uint64_t lanes[4] = {kPrime1 + kPrime2, kPrime2, 0, 0 - kPrime1};
  std::size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    if (i % kLineBytes == 0 && size - i > kReadAhead)
      Prefetch(data + i + kReadAhead);
    for (std::size_t k = 0; k < 4; ++k) {
      std::uint64_t word;
      std::memcpy(&word, data + i + 8 * k, 8);
      lanes[k] = Round(lanes[k], word);
    }
  }
  std::uint64_t sum = size * kPrime3;
  for (std::size_t k = 0; k < 4; ++k) {
    sum = (sum ^ Round(0, lanes[k])) * kPrime1 + kPrime3;
  }
  for (; i < size; ++i) {
    const std::uint64_t byte = static_cast<unsigned char>(data[i]);
    sum = RotateLeft(sum ^ (byte * kPrime3), 11) * kPrime1;
  }
  sum ^= sum >> 33;
  sum *= kPrime2;
  sum ^= sum >> 29;
  return sum;
}

std::vector<std::uint64_t> BlockSums(const char* text, std::size_t size) {
  const std::size_t blocks = (size + kSumBlock - 1) / kSumBlock;
  std::vector<std::uint64_t> sums(blocks);
  if (blocks < kThreadFrom) {
    SumRange(text, size, 0, blocks, sums.data());
    return sums;
  }
  const std::size_t half = blocks / 2;
  SecondThread second([&] { SumRange(text, size, half, blocks, sums.data()); });
  SumRange(text, size, 0, half, sums.data());
  second.Join();
  return sums;
}

}  // namespace pixelsets
