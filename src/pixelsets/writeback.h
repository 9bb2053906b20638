// A file written far past memory, sent on to storage as it grows: what was
// sent a writeback ago is most likely stored by then, and may leave the
// system's cache, where it would only crowd out pages still of use.

#ifndef PARTICION_SRC_PIXELSETS_WRITEBACK_H_
#define PARTICION_SRC_PIXELSETS_WRITEBACK_H_

#include <cstdint>
#include <cstdio>

#include "pixelsets/platform.h"

namespace pixelsets {

class Writeback {
 public:
  // Where the last writeback started: the bytes the file held then.
  std::uint64_t sent() const { return sent_; }

  // Flushes `file`, which holds `written` bytes, and starts its writeback;
  // with `forget`, what the writeback before sent first leaves the cache
  // (the system keeps any page not yet stored). False with errno set when
  // the flush fails.
  bool Send(std::FILE* file, std::uint64_t written, bool forget) {
    if (std::fflush(file) != 0) return false;
    if (forget && sent_ > forgotten_) {
      ForgetCached(file, forgotten_, sent_ - forgotten_);
      forgotten_ = sent_;
    }
    StartWriteback(file);
    sent_ = written;
    return true;
  }

 private:
  std::uint64_t sent_ = 0;
  std::uint64_t forgotten_ = 0;  // the bytes that left the cache
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_WRITEBACK_H_
