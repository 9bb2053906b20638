// How the long steps of a run tell how far they have come, for a person to
// see it: the loading, and each step of the work after the last answer.

#ifndef PARTICION_SRC_PIXELSETS_PROGRESS_H_
#define PARTICION_SRC_PIXELSETS_PROGRESS_H_

#include <cstdint>
#include <functional>
#include <mutex>

namespace pixelsets {

// The steps, in the order a run takes them; a source in memory and a
// streamed one take different steps after the draw.
enum class Step {
  kRead,     // the source loaded: bytes of its size
  kPrepare,  // the streamed draw's arrays set up: entries
  kDraw,     // positions drawn: draws
  kNote,     // each drawn record's bucket noted: draws
  kFile,     // the source read again into buckets: records filed
  kBuckets,  // the buckets put in order and written: records
  kWrite,    // the drawn records of a source in memory written: records
  kSync,     // the sets sent to storage and the source checked
};
inline constexpr int kSteps = 8;

// Told, from any thread and now and then, that `done` of `total` units of
// `step` are done; `total` 0 when it is not known (a source read from a
// pipe). `done` of a step never goes back. Empty when nobody watches.
using TellProgress =
    std::function<void(Step step, std::uint64_t done, std::uint64_t total)>;

// A count that several threads add to, told with each addition in one
// step, so that no telling comes after a larger one (as TellProgress asks).
class SharedCount {
 public:
  // Adds `n` and calls `tell(count)` with the new count, one thread at a
  // time.
  template <class Tell>
  void Add(std::uint64_t n, Tell&& tell) {
    const std::lock_guard<std::mutex> hold(lock_);
    count_ += n;
    tell(count_);
  }

 private:
  std::mutex lock_;
  std::uint64_t count_ = 0;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_PROGRESS_H_
