// The split run: the whole dialogue and the writing of the set files.

#ifndef PARTICION_SRC_RUN_RUN_H_
#define PARTICION_SRC_RUN_RUN_H_

#include <cstdio>

namespace particion {

// Asks for the source and the two counts on `in`/`out`, then writes the set
// files in the working directory. Returns the exit status: 0 once both files
// are written, 1 when input ends before that or the pair cannot be written
// (the reason then goes to `err`).
int RunSplit(std::FILE* in, std::FILE* out, std::FILE* err);

}  // namespace particion

#endif  // PARTICION_SRC_RUN_RUN_H_
