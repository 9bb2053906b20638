// Loading the source: how it is held, and whether the file still holds what
// was loaded.

#ifndef PARTICION_SRC_PIXELSETS_LOAD_SOURCE_H_
#define PARTICION_SRC_PIXELSETS_LOAD_SOURCE_H_

#include <cstdint>
#include <cstdio>
#include <string>

#include "pixelsets/memory_budget.h"
#include "pixelsets/progress.h"
#include "pixelsets/record.h"
#include "pixelsets/source.h"

namespace pixelsets {

// How a source is held while it is drawn from.
enum class SourcePath {
  kAuto,      // in memory if it fits in what the system can give, else not
  kInMemory,  // mapped or read whole: records are read at random
  kStreamed,  // not held: read again in file order, drawn records in buckets
};

struct LoadOptions {
  std::uint64_t max_records = kMaxRecords;
  std::uint64_t narrow_limit = kNarrowLimit;  // lower, to test wide indexes
  SourcePath path = SourcePath::kAuto;
  // Regular files from this size up are streamed; lower, to test that way
  // as the run takes it.
  std::uint64_t stream_from = kStreamFrom;
  // Told now and then how many bytes are read (Step::kRead).
  TellProgress progress;
};

// Loads the source open as `fOrigen` (binary mode, at its start) into
// `*source`. `size_hint` is its size in bytes when it is a regular file, 0 if
// unknown; only a file of known size can be streamed. Returns false with the
// user-facing reason in `*err` (without a line end) when the first line does
// not begin with a signed 32-bit integer, a line is longer than
// kMaxLineLength, the read fails, there are more than `max_records` records,
// or the file was cut short while it was read. Throws std::bad_alloc when
// memory runs out. A source that can only be streamed, where the run may
// not open files enough for even one bucket, is refused before it is read,
// with `*ends_run` (if given) set: no other source would do better.
bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint,
                const LoadOptions& options, Source* source, std::string* err,
                bool* ends_run = nullptr);

// True when the source still holds what it held when it was loaded: nothing
// cut, rewritten or written through a mapping since. A streamed source is
// checked as it is read again. Otherwise fills `*err` with kSourceChanged.
bool SourceUnchanged(const Source& source, std::string* err);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_LOAD_SOURCE_H_
