// The draw from a source held in memory: the procedure on its index, then
// the drawn records' text gathered into the set files.

#ifndef PARTICION_SRC_PIXELSETS_IN_MEMORY_DRAW_H_
#define PARTICION_SRC_PIXELSETS_IN_MEMORY_DRAW_H_

#include <string>

#include "pixelsets/draw_options.h"
#include "pixelsets/generator.h"
#include "pixelsets/set_writers.h"
#include "pixelsets/source.h"

namespace pixelsets {

// Draws `counts` records from `*source` into `*out`, training first, and
// shrinks its index to the records drawn for neither set. False, with the
// message in `*err`, when a write fails.
bool InMemoryDraw(InMemorySource* source, const DrawCounts& counts,
                  const Generator& rand, SetWriters* out,
                  const DrawOptions& options, std::string* err);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_IN_MEMORY_DRAW_H_
