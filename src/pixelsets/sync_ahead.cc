#include "pixelsets/sync_ahead.h"

#include <cerrno>

namespace pixelsets {

bool SyncAhead::Ask() {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (failed_ != 0) {
      errno = failed_;
      return false;
    }
    asked_ = true;
  }
  // Where no thread can be had, the final sync does all the work, as it
  // would without this.
  if (!thread_) thread_.emplace([this] { Run(); }, [this] { Stop(); });
  changed_.notify_one();
  return true;
}

bool SyncAhead::Finish() {
  if (thread_) {
    Stop();
    thread_->Join();
    thread_.reset();
  }
  if (failed_ == 0) return true;
  errno = failed_;
  return false;
}

void SyncAhead::Stop() {
  {
    const std::lock_guard<std::mutex> hold(mutex_);
    stop_ = true;
  }
  changed_.notify_one();
}

void SyncAhead::Run() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    changed_.wait(hold, [this] { return asked_ || stop_; });
    // What is still asked for at the end is the final sync's to do.
    if (stop_) return;
    asked_ = false;
    hold.unlock();
    errno = 0;
    const bool synced = SyncData(target_);
    const int reason = errno != 0 ? errno : EIO;
    hold.lock();
    if (!synced) {
      failed_ = reason;
      return;
    }
  }
}

}  // namespace pixelsets
