// The draw from a source too large for memory: the same records in the same
// order as the in-memory draw, read from the source in file order and put in
// draw order through buckets on disk.

#ifndef PARTICION_SRC_PIXELSETS_STREAMED_DRAW_H_
#define PARTICION_SRC_PIXELSETS_STREAMED_DRAW_H_

#include <string>

#include "pixelsets/draw_options.h"
#include "pixelsets/generator.h"
#include "pixelsets/set_writers.h"
#include "pixelsets/source.h"

namespace pixelsets {

// Draws `counts` records from the streamed `source` into `*out`, exactly as
// the in-memory draw would with the same generator. Memory: 8 bytes per
// record of the source while positions are drawn and filed, then one
// bucket. Returns false with `*err` filled when a write fails or when the
// source no longer holds what was loaded (kSourceChanged).
bool StreamedDraw(const StreamedSource& source, const DrawCounts& counts,
                  const Generator& rand, SetWriters* out,
                  const DrawOptions& options, std::string* err);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_STREAMED_DRAW_H_
