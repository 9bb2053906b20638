#include "pixelsets/second_thread.h"

#include <system_error>
#include <utility>

namespace pixelsets {

SecondThread::SecondThread(std::function<void()> work,
                           std::function<void()> stop)
    : work_(std::move(work)), stop_(std::move(stop)) {
  try {
    thread_ = std::thread([this] {
      try {
        work_();
      } catch (...) {
        // Nothing may leave a thread: the caller meets it at Join.
        thrown_ = std::current_exception();
      }
    });
  } catch (const std::system_error&) {
    // No thread: Join does the work on the caller's thread.
  }
}

SecondThread::~SecondThread() {
  if (!thread_.joinable()) return;
  if (stop_) stop_();
  thread_.join();
}

void SecondThread::Join() {
  if (done_) return;
  done_ = true;
  if (thread_.joinable()) {
    thread_.join();
  } else {
    work_();
  }
  if (thrown_) std::rethrow_exception(std::exchange(thrown_, nullptr));
}

}  // namespace pixelsets
