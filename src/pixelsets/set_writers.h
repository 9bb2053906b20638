// The two set files as a draw fills them, and how many records each takes.

#ifndef PARTICION_SRC_PIXELSETS_SET_WRITERS_H_
#define PARTICION_SRC_PIXELSETS_SET_WRITERS_H_

#include <cerrno>
#include <cstddef>
#include <string>

#include "pixelsets/block_writer.h"
#include "pixelsets/draw_options.h"
#include "pixelsets/messages.h"

namespace pixelsets {

struct DrawCounts {
  std::size_t entrenamiento;
  std::size_t test;
  std::size_t total() const { return entrenamiento + test; }
};

struct SetWriters {
  explicit SetWriters(const SetStreams& streams)
      : entrenamiento(streams.entrenamiento.file),
        test(streams.test.file),
        names(streams) {}

  // The writer of draw slot `k` (training first, then test), and the name
  // of its file.
  BlockWriter* For(std::size_t k, const DrawCounts& counts) {
    return k < counts.entrenamiento ? &entrenamiento : &test;
  }
  const char* NameFor(std::size_t k, const DrawCounts& counts) const {
    return k < counts.entrenamiento ? names.entrenamiento.name
                                    : names.test.name;
  }
  // Finishes both files; false with the failure's message in `*err`.
  bool Finish(std::string* err) {
    if (!entrenamiento.Finish()) {
      *err = SetFileError(names.entrenamiento.name, errno);
      return false;
    }
    if (!test.Finish()) {
      *err = SetFileError(names.test.name, errno);
      return false;
    }
    return true;
  }

  BlockWriter entrenamiento;
  BlockWriter test;
  SetStreams names;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SET_WRITERS_H_
