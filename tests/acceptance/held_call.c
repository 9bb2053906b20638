/* Preloaded into a run, holds one step of its commit until the test lets it
   go, so that a case can act inside the commit rather than hope to land
   there. HOLD_WHEN=N holds the N-th renameat2; HOLD_FDS="W R" are two pipe
   ends the run inherits: on reaching the call it writes a byte to W, then
   waits for a byte on R before making the call. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int renameat2(int from_dir, const char* from, int to_dir, const char* to,
              unsigned flags) {
  static int calls;
  typedef int (*call_t)(int, const char*, int, const char*, unsigned);
  const call_t real = (call_t)dlsym(RTLD_NEXT, "renameat2");
  const char* when = getenv("HOLD_WHEN");
  int note = -1, wait = -1;
  if (when && ++calls == atoi(when) &&
      sscanf(getenv("HOLD_FDS"), "%d %d", &note, &wait) == 2) {
    const int saved = errno;
    char byte = 1;
    if (write(note, &byte, 1) == 1) {
      /* A signal that is not held is taken here, inside the commit. */
      while (read(wait, &byte, 1) < 0 && errno == EINTR) {
      }
    }
    errno = saved;
  }
  return real(from_dir, from, to_dir, to, flags);
}
