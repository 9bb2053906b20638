// The pseudo-random generator of the draw: the C library's rand(), seeded
// once a run, with a fast copy of glibc's where it gives the same values.

#ifndef PARTICION_SRC_PIXELSETS_GENERATOR_H_
#define PARTICION_SRC_PIXELSETS_GENERATOR_H_

#include <cstddef>
#include <cstdint>
#include <functional>

namespace pixelsets {

// A pseudo-random source used like std::rand: each call fills `values` with
// the next `count` values of its sequence, none of them negative. Values come
// a batch at a time so that a fast generator costs no call per draw.
using Generator = std::function<void(int* values, std::size_t count)>;

// The Generator that calls `next` once for each value, in order.
Generator ValueByValue(std::function<int()> next);

// The sequence of glibc's rand() after srand(seed): its additive feedback
// generator (that of random(), degree 31), without the library's lock.
class GlibcRand {
 public:
  explicit GlibcRand(unsigned seed);
  int Next() {
    state_[front_] += state_[rear_];
    const int value = static_cast<int>(state_[front_] >> 1);
    front_ = front_ == kDegree - 1 ? 0 : front_ + 1;
    rear_ = rear_ == kDegree - 1 ? 0 : rear_ + 1;
    return value;
  }

 private:
  static constexpr int kDegree = 31;
  std::uint32_t state_[kDegree];
  int front_ = 3;
  int rear_ = 0;
};

// Seeds the C library's generator with `seed` (srand) and returns the
// generator of the draw: GlibcRand, when its first values equal those of
// std::rand() itself for this seed, else std::rand(). Either way the values
// are rand()'s, so the files are the same on every platform.
Generator SeededRand(unsigned seed);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_GENERATOR_H_
