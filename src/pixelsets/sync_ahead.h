// A set file's data synced to storage while the file is still being written,
// on a thread of its own, so that the sync that ends the run waits for the
// last of it only: storage that keeps what it is sent in a cache of its own
// (a virtual machine's disk, above all) takes, at each sync, a time that
// grows with what reached it since the sync before, however long ago it
// was sent.

#ifndef PARTICION_SRC_PIXELSETS_SYNC_AHEAD_H_
#define PARTICION_SRC_PIXELSETS_SYNC_AHEAD_H_

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

#include "pixelsets/platform.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {

class SyncAhead {
 public:
  // For the file that `file` writes; to be made before any write to it.
  explicit SyncAhead(std::FILE* file) : target_(SyncTargetOf(file)) {}
  ~SyncAhead() = default;  // waits for a sync under way
  SyncAhead(const SyncAhead&) = delete;
  SyncAhead& operator=(const SyncAhead&) = delete;

  // Asks for what the file holds so far, flushed from its stream, to be
  // synced soon; asks made while a sync is under way make one more. False
  // with errno set once a sync has failed: what it was to keep may be lost,
  // and a later sync that succeeded would hide that.
  bool Ask();
  // Waits for a sync under way, and asks for no more; false with errno set
  // if any failed.
  bool Finish();

 private:
  void Run();
  void Stop();

  const SyncTarget target_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool asked_ = false;
  bool stop_ = false;
  int failed_ = 0;                      // errno of the first failed sync
  std::optional<SecondThread> thread_;  // last: stopped before the rest goes
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SYNC_AHEAD_H_
