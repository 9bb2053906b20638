// What the writing of set files needs from the platform's storage beyond the
// standard library. The rest of the platform layer (temporaries, the commit of
// the pair, locks and signals) stays inside WriteSetFiles.

#ifndef PARTICION_SRC_PIXELSETS_STORAGE_H_
#define PARTICION_SRC_PIXELSETS_STORAGE_H_

#include <cstdio>

namespace pixelsets {

// Starts writing what `file` holds so far out to storage, without waiting, so
// that the sync that ends a large set file finds little left to do. A hint:
// does nothing where the platform has no such call or `file` is not a file.
void StartWriteback(std::FILE* file);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_STORAGE_H_
