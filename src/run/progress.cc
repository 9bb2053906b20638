#include "run/progress.h"

#include <algorithm>

#include "pixelsets/messages.h"
#include "pixelsets/platform.h"

namespace particion {

using pixelsets::Step;

namespace {

constexpr std::size_t Index(Step step) {
  return static_cast<std::size_t>(step);
}

}  // namespace

// Each step's share of the time from the last answer to the end, measured
// on this machine (2 cores, files in the system's cache): runs timed at each
// step's first and last report, on 10 and 60 million short records
// ("2266 5", 67 and 403 MB) and on 700,000 records of 14 values (40 MB),
// split 2:1, each in memory and streamed (an address-space limit makes a
// run take that way), and the shares averaged.
//
// In memory the draw and the writing go at once, on two cores, and the
// writing follows the draw to the end: the draw ends halfway (0.85 of
// 1.9 s at 60 million), the writing with the run. A streamed run at 60
// million took 0.13 of its 3.45 s to set up its arrays, 0.73 to draw,
// 0.19 to note the buckets, 0.80 to file the records and 1.11 to write the
// buckets; at 10 million 0.03, 0.17, 0.03, 0.23 and 0.33 of 0.79 s. The
// sync came to 1 or 2 % on both ways: most of the sets was sent to storage
// while they were written.
StepWeights InMemoryWeights() {
  StepWeights weights{};
  weights[Index(Step::kDraw)] = 0.35;
  weights[Index(Step::kWrite)] = 0.63;
  weights[Index(Step::kSync)] = 0.02;
  return weights;
}

StepWeights StreamedWeights() {
  StepWeights weights{};
  weights[Index(Step::kPrepare)] = 0.08;
  weights[Index(Step::kDraw)] = 0.21;
  weights[Index(Step::kNote)] = 0.05;
  weights[Index(Step::kFile)] = 0.27;
  weights[Index(Step::kBuckets)] = 0.37;
  weights[Index(Step::kSync)] = 0.02;
  return weights;
}

double RunShare::Tell(Step step, std::uint64_t done, std::uint64_t total) {
  const std::size_t told = Index(step);
  if (step == Step::kSync) std::fill(done_.begin(), done_.begin() + told, 1.0);
  const double part = total == 0
                          ? 0.0
                          : std::min(1.0, static_cast<double>(done) /
                                              static_cast<double>(total));
  done_[told] = std::max(done_[told], part);
  if (weights_[told] > 0 && told > Index(step_)) step_ = step;
  double all = 0;
  double got = 0;
  for (std::size_t s = 0; s < done_.size(); ++s) {
    all += weights_[s];
    got += weights_[s] * done_[s];
  }
  return all > 0 ? std::min(1.0, got / all) : 0.0;
}

std::string ShareText(const char* word, int permille) {
  char text[64];
  std::snprintf(text, sizeof text, "%s: %3d,%d %%", word, permille / 10,
                permille % 10);
  return text;
}

std::string BytesText(const char* word, std::uint64_t bytes) {
  char text[64];
  std::snprintf(text, sizeof text, "%s: %llu MiB", word,
                static_cast<unsigned long long>(bytes >> 20));
  return text;
}

const char* StepWord(Step step) {
  switch (step) {
    case Step::kRead:
      return pixelsets::kReadingWord;
    case Step::kPrepare:
    case Step::kDraw:
    case Step::kNote:
      return pixelsets::kDrawingWord;
    default:
      return pixelsets::kWritingWord;
  }
}

ProgressLine::ProgressLine(std::FILE* in, std::FILE* err,
                           std::chrono::milliseconds after)
    : ProgressLine(pixelsets::IsTerminal(in) && pixelsets::IsTerminal(err), err,
                   after) {}

ProgressLine::ProgressLine(bool shown, std::FILE* err,
                           std::chrono::milliseconds after)
    : err_(err),
      shown_(shown),
      after_(after),
      start_(std::chrono::steady_clock::now()) {}

void ProgressLine::StartReading() {
  std::lock_guard<std::mutex> hold(lock_);
  start_ = std::chrono::steady_clock::now();
}

void ProgressLine::StartRun(const StepWeights& weights) {
  std::lock_guard<std::mutex> hold(lock_);
  start_ = std::chrono::steady_clock::now();
  share_ = RunShare(weights);
}

void ProgressLine::Tell(Step step, std::uint64_t done, std::uint64_t total) {
  if (!shown_) return;
  std::lock_guard<std::mutex> hold(lock_);
  std::string text;
  if (step == Step::kRead) {
    text =
        total == 0
            ? BytesText(pixelsets::kReadingWord, done)
            : ShareText(pixelsets::kReadingWord,
                        static_cast<int>(std::min(done, total) * 1000 / total));
  } else {
    const double share = share_.Tell(step, done, total);
    text = ShareText(StepWord(share_.step()), static_cast<int>(share * 1000));
  }
  if (text != last_ && std::chrono::steady_clock::now() - start_ >= after_)
    Show(text);
}

void ProgressLine::Show(const std::string& text) {
  // A shorter text leaves no end of the longer one before it.
  const int blanks = static_cast<int>(width_ - std::min(width_, text.size()));
  std::fprintf(err_, "\r%s%*s", text.c_str(), blanks, "");
  std::fflush(err_);
  last_ = text;
  width_ = std::max(width_, text.size());
}

void ProgressLine::Erase() {
  std::lock_guard<std::mutex> hold(lock_);
  if (last_.empty()) return;
  std::fprintf(err_, "\r%*s\r", static_cast<int>(width_), "");
  std::fflush(err_);
  last_.clear();
  width_ = 0;
}

}  // namespace particion
