// The random partition of a loaded source into a training and a test set,
// written into two open files.

#ifndef PARTICION_SRC_PIXELSETS_DRAW_H_
#define PARTICION_SRC_PIXELSETS_DRAW_H_

#include <cstdint>
#include <string>

#include "pixelsets/draw_options.h"
#include "pixelsets/generator.h"
#include "pixelsets/source.h"

namespace pixelsets {

// Draws `n_entr` records into `sets.entrenamiento`, then `n_test` into
// `sets.test`, from `*source` without replacement. Each draw takes position
// rand() % n_total, writes a line end and that record, moves the last record
// into its place and shrinks the pool. Each file starts with the header
// value. Afterwards an in-memory source's index holds the records drawn for
// neither set. Returns false, with the message in `*err`, when writing
// fails, when a streamed source no longer holds what was loaded
// (kSourceChanged), or, writing nothing, unless 0 <= n_entr, 0 <= n_test and
// n_entr + n_test <= the source's records.
bool Partition(Source* source, std::int32_t n_entr, std::int32_t n_test,
               const Generator& rand, const SetStreams& sets,
               const DrawOptions& options, std::string* err);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DRAW_H_
