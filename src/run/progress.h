// The line on a terminal that says how far the writing of the sets has
// come.

#ifndef PARTICION_SRC_RUN_PROGRESS_H_
#define PARTICION_SRC_RUN_PROGRESS_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>

namespace particion {

// Shown for a run that takes more than a second after the last answer;
// rewritten in place and erased at the end, so that the screen ends as if it
// had never been there. Only where a person types the answers on a terminal
// and watches `err` there: the Enter after the last answer leaves the line
// free, where a script's answers would leave the last question on it.
class ProgressLine {
 public:
  ProgressLine(std::FILE* in, std::FILE* err);

  bool shown() const { return shown_; }

  // Called from either drawing thread; one of them at a time writes.
  void Update(std::uint64_t done, std::uint64_t total);
  void Erase();

 private:
  std::FILE* err_;
  bool shown_;
  std::chrono::steady_clock::time_point start_;
  std::mutex lock_;
  int last_ = -1;
};

}  // namespace particion

#endif  // PARTICION_SRC_RUN_PROGRESS_H_
