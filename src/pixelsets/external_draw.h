// The draw for a source larger than memory: the same records in the same
// order as the in-memory draw, read from the source in file order and put in
// draw order through buckets on disk.

#ifndef PARTICION_SRC_PIXELSETS_EXTERNAL_DRAW_H_
#define PARTICION_SRC_PIXELSETS_EXTERNAL_DRAW_H_

#include <cstddef>
#include <string>

#include "pixelsets/draw_steps.h"
#include "pixelsets/partition.h"
#include "pixelsets/source_list.h"

namespace pixelsets {

// Draws `n_entr` records into `entr` and then `n_test` into `test` from the
// external `*pool` (its records numbered, its source open), exactly as the
// in-memory draw would with the same generator, and shrinks the pool to the
// records drawn for neither. Memory: 8 bytes per record of the source while
// positions are drawn and filed, then one bucket. Returns false with `*err`
// filled when a write fails or when the source no longer holds what was
// loaded (kSourceChanged).
bool ExternalDraw(Pool* pool, std::size_t n_entr, std::size_t n_test,
                  const Generator& rand, BlockWriter* entr, BlockWriter* test,
                  const SetStream& e, const SetStream& t,
                  const DrawOptions& options, std::string* err);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_EXTERNAL_DRAW_H_
