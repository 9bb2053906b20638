// How the long steps of a run tell how far they have come, for a person to
// see it: the loading, and each step of the work after the last answer.

#ifndef PARTICION_SRC_PIXELSETS_PROGRESS_H_
#define PARTICION_SRC_PIXELSETS_PROGRESS_H_

#include <cstdint>
#include <functional>

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

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_PROGRESS_H_
