// The source file the user names: the checks on the name and the file, the
// loading, and the guard against a file that changes while it is read.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_FILE_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_FILE_H_

#include <cstdio>
#include <string>

#include "pixelsets/load_source.h"

namespace pixelsets {

// Why a typed name gave no source: the reason the dialogue shows, and, for
// a name that did not open, a line for standard error that says which name
// and why.
struct Refusal {
  std::string reason;
  std::string detail;
  // The run cannot go on with any source: `reason` is why, for standard
  // error, and no question comes again.
  bool ends_run = false;
};

// Opens the file named `typed` for reading and loads it into `*source`,
// leaving it open in `*fOrigen` (the draw may read it again). False, with
// nothing open, when it does not open (kOpenError, and a detail), is a set
// file of the working folder (kSourceIsASet), or does not load, or changed
// while it loaded (the loader's reasons). Throws std::bad_alloc when memory
// runs out.
bool OpenSource(const std::string& typed, const LoadOptions& options,
                std::FILE** fOrigen, Source* source, Refusal* refusal);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_FILE_H_
