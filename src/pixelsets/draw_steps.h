// The pieces that both draws share, the in-memory one (partition.cc) and the
// one for sources larger than memory (external_draw.cc): the procedure's
// positions, the count of drawn records between threads, and the writer of a
// set file's blocks.

#ifndef PARTICION_SRC_PIXELSETS_DRAW_STEPS_H_
#define PARTICION_SRC_PIXELSETS_DRAW_STEPS_H_

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>

#include "pixelsets/partition.h"
#include "pixelsets/storage.h"

namespace pixelsets {

// Draw positions are computed this many at a time: they depend only on the
// generator and the shrinking count, so the offsets they name can be
// prefetched before they are needed.
inline constexpr std::size_t kBatch = 1024;
// How far ahead to fetch an entry of the index: far larger than the caches,
// so each access is a miss.
inline constexpr std::size_t kIndexAhead = 16;

inline void Prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;  // a hint only: without it the draw is slower, not different
#endif
}

// The procedure itself, one generator value per draw: position value % n of
// the n records left, the record there swapped with the last, the pool
// shrunk by one. Swapping rather than overwriting leaves the pool's first n
// records exactly as overwriting would, and stacks the drawn ones, in draw
// order from the end, behind them. Calls `drawn(k)` after each batch with
// the number drawn so far; stops early once `stop()` is true.
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

  void Publish(std::size_t drawn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
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

// Gathers a set file's bytes in large blocks: one write per block keeps
// system calls rare, and a bounded block keeps memory flat.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* file)
      : file_(file), block_(new char[kSize]) {}

  void Header(std::int32_t caract) {
    used_ = static_cast<std::size_t>(
        std::to_chars(block_.get(), block_.get() + 16, caract).ptr -
        block_.get());
  }
  // Appends a line end and `text`; false once a write has failed.
  bool Line(std::string_view text) {
    if (kSize - used_ < text.size() + 1 && !Drain()) return false;
    block_[used_++] = '\n';
    std::memcpy(block_.get() + used_, text.data(), text.size());
    used_ += text.size();
    return true;
  }
  // Writes what is left and flushes the stream; false if any write failed,
  // with the reason in errno.
  bool Finish() { return Drain() && std::fflush(file_) == 0; }

 private:
  static constexpr std::size_t kSize = 1 << 20;  // > kMaxLineLength + 1

  // Every this many bytes the file's data is sent on to storage while the
  // draw goes on, so that the sync at the end waits for little. Measured at
  // ten million records (medians of 7 runs): no sync 0.70 s, a sync only at
  // the end 0.69 s, writeback every 8 MiB and the sync 0.62 to 0.64 s.
  static constexpr std::size_t kWritebackBytes = std::size_t{8} << 20;

  bool Drain() {
    if (used_ > 0 && std::fwrite(block_.get(), 1, used_, file_) != used_)
      return false;
    unsynced_ += used_;
    used_ = 0;
    if (unsynced_ >= kWritebackBytes) {
      if (std::fflush(file_) != 0) return false;
      StartWriteback(file_);
      unsynced_ = 0;
    }
    return true;
  }

  std::FILE* file_;
  std::unique_ptr<char[]> block_;
  std::size_t used_ = 0;
  std::size_t unsynced_ = 0;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DRAW_STEPS_H_
