#include "pixelsets/generator.h"

#include <bit>
#include <cstdlib>
#include <utility>

namespace pixelsets {

Generator ValueByValue(std::function<int()> next) {
  return [next = std::move(next)](int* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) values[i] = next();
  };
}

GlibcRand::GlibcRand(unsigned seed) {
  // As glibc's srandom_r: the state from a Park-Miller generator (Schrage's
  // method, on the seed taken as a signed 32-bit word), then 310 values
  // thrown away.
  std::int32_t word = static_cast<std::int32_t>(seed == 0 ? 1 : seed);
  state_[0] = static_cast<std::uint32_t>(word);
  for (int i = 1; i < kDegree; ++i) {
    const std::int64_t hi = word / 127773;
    const std::int64_t lo = word % 127773;
    word = static_cast<std::int32_t>(16807 * lo - 2836 * hi);
    if (word < 0) word += 2147483647;
    state_[i] = static_cast<std::uint32_t>(word);
  }
  for (int i = 0; i < kDegree * 10; ++i) Next();
}

Generator SeededRand(unsigned seed) {
  // Compared over this many values: a different generator, or the same one
  // seeded differently, parts from rand() within a few.
  constexpr int kChecked = 300;
  std::srand(seed);
  GlibcRand copy(seed);
  bool same = RAND_MAX == 2147483647;
  for (int i = 0; i < kChecked && same; ++i) same = copy.Next() == std::rand();
  std::srand(seed);
  if (same) {
    return [gen = GlibcRand(seed)](int* values, std::size_t count) mutable {
      for (std::size_t i = 0; i < count; ++i) values[i] = gen.Next();
    };
  }
  if constexpr (RAND_MAX >= 2147483647) {
    return ValueByValue([] { return std::rand(); });
  } else {
    // A generator narrower than 31 bits (RAND_MAX 32767 on Windows) would
    // never reach most positions of a large pool: each value is built from
    // as many rand() calls, first in the high bits, as cover 31 bits.
    return ValueByValue([] {
      constexpr int kBits = std::bit_width(static_cast<unsigned>(RAND_MAX));
      std::uint64_t value = 0;
      for (int bits = 0; bits < 31; bits += kBits)
        value = value << kBits | static_cast<unsigned>(std::rand());
      return static_cast<int>(value & 0x7fffffff);
    });
  }
}

}  // namespace pixelsets
