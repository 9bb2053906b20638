// The line on a terminal that says how far a long run has come: while the
// source is read, and from the last answer to the end.

#ifndef PARTICION_SRC_RUN_PROGRESS_H_
#define PARTICION_SRC_RUN_PROGRESS_H_

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "pixelsets/progress.h"

namespace particion {

// What share of the time after the last answer each step takes, on one way
// of holding the source; 0 for a step it does not take.
using StepWeights = std::array<double, pixelsets::kSteps>;
StepWeights InMemoryWeights();
StepWeights StreamedWeights();

// The share of the whole work done, from what each step tells: each step's
// share of its own units, weighed. It only grows, and is 1 only once every
// step that weighs is done. The sync comes after every other step: once it
// is told, they are all done.
class RunShare {
 public:
  explicit RunShare(const StepWeights& weights) : weights_(weights) {}

  double Tell(pixelsets::Step step, std::uint64_t done, std::uint64_t total);
  // The latest step told that weighs, which names what the run is doing.
  pixelsets::Step step() const { return step_; }

 private:
  StepWeights weights_;
  std::array<double, pixelsets::kSteps> done_{};
  pixelsets::Step step_ = pixelsets::Step::kRead;
};

// "WORD: 42,7 %" for `permille` of 1000.
std::string ShareText(const char* word, int permille);
// "WORD: 120 MiB" for a source of unknown size.
std::string BytesText(const char* word, std::uint64_t bytes);
// The word shown for a step.
const char* StepWord(pixelsets::Step step);

// Shown for a part of a run that takes more than `after` (a second), where
// a person types the answers on a terminal and watches `err` there: the
// Enter after an answer leaves the line free, where a script's answers
// would leave the question on it. Rewritten in place when its text changes,
// and erased at the end of each part, so that the screen ends as if it had
// never been there.
class ProgressLine {
 public:
  ProgressLine(std::FILE* in, std::FILE* err,
               std::chrono::milliseconds after = std::chrono::seconds(1));
  // For tests: shown or not, whatever the streams are.
  ProgressLine(bool shown, std::FILE* err, std::chrono::milliseconds after);
  // A run ended by a lack of memory says so on a line of its own.
  ~ProgressLine() { Erase(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool shown() const { return shown_; }

  // Starts the reading of a source, or the work after the last answer
  // weighed by `weights`: the time before the line shows counts from now.
  void StartReading();
  void StartRun(const StepWeights& weights);
  // Told from any thread.
  void Tell(pixelsets::Step step, std::uint64_t done, std::uint64_t total);
  // Ends the part: the line goes, if it was shown.
  void Erase();

 private:
  void Show(const std::string& text);

  std::FILE* err_;
  bool shown_;
  std::chrono::milliseconds after_;
  std::chrono::steady_clock::time_point start_;
  std::mutex lock_;
  RunShare share_{StepWeights{}};
  std::string last_;       // the text on the line, empty when none
  std::size_t width_ = 0;  // the widest text since the line was erased
};

}  // namespace particion

#endif  // PARTICION_SRC_RUN_PROGRESS_H_
