// The ways of reading a source, each as LoadSource uses it: held in memory
// (mapped, or read whole where it cannot be mapped) or streamed.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_READERS_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_READERS_H_

#include <cstdint>
#include <cstdio>

#include "pixelsets/line_rules.h"
#include "pixelsets/progress.h"
#include "pixelsets/source.h"

namespace pixelsets {

// Maps `f`, or reads it whole where it cannot be mapped, and indexes its
// records (4-byte offsets below `narrow_limit` bytes, else 8-byte).
// `size_hint` (0 if unknown) lets a file that is read take one allocation.
// False when `rules` are broken or the read fails; false with `*fits` false
// when a large mapped file has more records than `room`, found before the
// index takes any memory. Throws std::bad_alloc, before it takes it, when
// a file read whole would need more memory than the system can give. Tells
// `tell` the bytes read and indexed (Step::kRead): a mapped text counts
// each byte twice, once counted and once indexed, of twice its size.
bool ReadIntoMemory(std::FILE* f, std::uint64_t size_hint,
                    std::uint64_t narrow_limit, std::uint64_t room,
                    LineRules* rules, InMemorySource* source, bool* fits,
                    const TellProgress& tell = {});

// Reads `f` (of `size_hint` bytes) through once, a chunk at a time, counting
// its records and taking the fingerprints of its blocks, and keeps it open
// for the draw to read again. False when `rules` are broken or the read
// fails. Tells `tell` the bytes read (Step::kRead).
bool ReadThrough(std::FILE* f, std::uint64_t size_hint, LineRules* rules,
                 StreamedSource* source, const TellProgress& tell = {});

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_READERS_H_
