// Work that may run beside the caller's on a second thread: where the
// system gives no thread, the caller does it itself when it joins. Either
// way a lack of memory in the work is handed back to the caller.

#ifndef PARTICION_SRC_PIXELSETS_SECOND_THREAD_H_
#define PARTICION_SRC_PIXELSETS_SECOND_THREAD_H_

#include <exception>
#include <functional>
#include <thread>

namespace pixelsets {

class SecondThread {
 public:
  // Starts `work` on a thread of its own if one can be had. `stop`, if
  // given, makes a work that waits on the caller give up: it is called
  // before a thread is abandoned by the destructor.
  explicit SecondThread(std::function<void()> work,
                        std::function<void()> stop = {});
  // Stops and joins a thread still running; never runs work not started.
  ~SecondThread();
  SecondThread(const SecondThread&) = delete;
  SecondThread& operator=(const SecondThread&) = delete;

  // Whether the work runs on a thread of its own.
  bool started() const { return thread_.joinable(); }

  // Waits for the work, or does it here if no thread ran it, then throws
  // again what it threw (std::bad_alloc, most often).
  void Join();

 private:
  std::function<void()> work_;
  std::function<void()> stop_;
  std::exception_ptr thrown_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SECOND_THREAD_H_
