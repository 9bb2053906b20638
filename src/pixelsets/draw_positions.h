// The procedure of the draw itself, on an array of records: position
// rand() % n of the n records left, the record there swapped with the last,
// the pool shrunk by one. And the count of records drawn so far, for a
// thread that works behind the draw.

#ifndef PARTICION_SRC_PIXELSETS_DRAW_POSITIONS_H_
#define PARTICION_SRC_PIXELSETS_DRAW_POSITIONS_H_

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <utility>

#include "pixelsets/generator.h"
#include "pixelsets/prefetch.h"

namespace pixelsets {

// Draw positions are computed this many at a time: they depend only on the
// generator and the shrinking count, so the offsets they name can be
// prefetched before they are needed.
inline constexpr std::size_t kBatch = 1024;
// How far ahead to fetch an entry of an array read at random: far larger
// than the caches, so each access is a miss.
inline constexpr std::size_t kIndexAhead = 16;

// Draws `total` records from the `n_total` of `cadenas`, one generator value
// a draw. Swapping rather than overwriting leaves the pool's first n records
// exactly as overwriting would, and stacks the drawn ones, in draw order
// from the end, behind them. Calls `drawn(k)` after each batch with the
// number drawn so far; stops early once `stop()` is true.
template <class Offset, class Drawn, class Stop>
void DrawPositions(Offset* cadenas, std::size_t n_total, std::size_t total,
                   const Generator& rand, Drawn drawn, Stop stop) {
  int values[kBatch];
  std::size_t pos[kBatch];
  std::size_t n = n_total;
  for (std::size_t k = 0; k < total && !stop();) {
    const std::size_t m = std::min(kBatch, total - k);
    rand(values, m);
    for (std::size_t i = 0; i < m; ++i)
      pos[i] = static_cast<unsigned>(values[i]) % (n - i);
    for (std::size_t i = 0; i < m; ++i) {
      if (i + kIndexAhead < m) Prefetch(&cadenas[pos[i + kIndexAhead]]);
      std::swap(cadenas[pos[i]], cadenas[n - 1 - i]);
    }
    n -= m;
    k += m;
    drawn(k);
  }
}

// How many records the drawing thread has placed, for a thread that works
// behind it; or that the draw was given up. A mutex and a condition, not
// std::atomic's wait: on platforms without a futex (MinGW's libstdc++ 12)
// that wait could miss its wake-up and hang a run.
class DrawnCount {
 public:
  static constexpr std::size_t kGivenUp = static_cast<std::size_t>(-1);

  // Once given up, the count stays so: the drawing thread may publish a
  // batch it finished just after a gatherer gave up, and a waiter must not
  // then wait for batches that never come.
  void Publish(std::size_t drawn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (value_.load(std::memory_order_relaxed) == kGivenUp) return;
      value_.store(drawn, std::memory_order_release);
    }
    changed_.notify_all();
  }
  void GiveUp() { Publish(kGivenUp); }
  // Waits until more than `k` records are drawn, and returns how many are
  // (kGivenUp once the draw is given up).
  std::size_t WaitPast(std::size_t k) {
    // The next batch is most often a few microseconds away: a sleep and a
    // wake-up would cost more than the wait.
    for (int i = 0; i < kSpins; ++i) {
      const std::size_t now = value_.load(std::memory_order_acquire);
      if (now > k) return now;
      std::this_thread::yield();
    }
    std::size_t now = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] {
      now = value_.load(std::memory_order_relaxed);
      return now > k;
    });
    return now;
  }

 private:
  static constexpr int kSpins = 64;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<std::size_t> value_{0};
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DRAW_POSITIONS_H_
