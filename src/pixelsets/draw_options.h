// What a draw is given beside its source and generator: the two set files'
// streams, and how it may go about its work.

#ifndef PARTICION_SRC_PIXELSETS_DRAW_OPTIONS_H_
#define PARTICION_SRC_PIXELSETS_DRAW_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "pixelsets/memory_budget.h"
#include "pixelsets/progress.h"

namespace pixelsets {

// An open set file and the name to report its errors under.
struct SetStream {
  std::FILE* file;
  const char* name;
};
struct SetStreams {
  SetStream entrenamiento;
  SetStream test;
};

// What a draw may use beyond its source and files.
struct DrawOptions {
  // Opens a new file to read and write that has no name and goes when it is
  // closed: the buckets of the draw for a streamed source. Null, with errno
  // set, on failure. std::tmpfile when empty.
  std::function<std::FILE*()> scratch;
  // Told from time to time, from either thread, how far each step of the
  // draw has come.
  TellProgress progress;
  // What a bucket of the streamed draw holds, in bytes; 0 for the default.
  // Small ones let tests use many buckets.
  std::size_t bucket_bytes = 0;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DRAW_OPTIONS_H_
