// Where the time of one run goes: the run's own steps (load, draw, filing,
// buckets, writing, sync, commit) on a list, timed from what each step tells
// as it goes. bench/run.py --phases prints them beside its timings.
//
// Usage: phases LIST N_ENTR N_TEST   (the pair is written in the working
// directory, as the program writes it)

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "pixelsets/draw.h"
#include "pixelsets/generator.h"
#include "pixelsets/load_source.h"
#include "pixelsets/progress.h"
#include "pixelsets/set_files.h"
#include "pixelsets/source_file.h"

namespace {

using Clock = std::chrono::steady_clock;
using pixelsets::Step;

constexpr std::array<const char*, pixelsets::kSteps> kNames = {
    "load", "arrays", "draw", "notes", "filing", "buckets", "writing", "sync"};

// The first and last moment each step told anything.
class Steps {
 public:
  pixelsets::TellProgress Tell() {
    return [this](Step step, std::uint64_t, std::uint64_t) { Seen(step); };
  }
  void Seen(Step step) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> hold(lock_);
    auto& span = spans_[static_cast<std::size_t>(step)];
    if (!span.seen) span.first = now;
    span.last = now;
    span.seen = true;
  }
  // Each step seen, from the end of the one before (or `start`) to its last
  // word: the steps follow one another, so their times add up to the run's.
  // Returns the end of the last.
  Clock::time_point Print(Clock::time_point start) const {
    Clock::time_point from = start;
    for (std::size_t i = 0; i < spans_.size(); ++i) {
      if (!spans_[i].seen) continue;
      std::printf("%s %.3f\n", kNames[i],
                  std::chrono::duration<double>(spans_[i].last - from).count());
      from = spans_[i].last;
    }
    return from;
  }

 private:
  struct Span {
    bool seen = false;
    Clock::time_point first;
    Clock::time_point last;
  };
  std::mutex lock_;
  std::array<Span, pixelsets::kSteps> spans_{};
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: phases LIST N_ENTR N_TEST\n");
    return 2;
  }
  const auto start = Clock::now();
  Steps steps;
  pixelsets::LoadOptions load;
  load.progress = steps.Tell();
  std::FILE* list = nullptr;
  pixelsets::Source source;
  pixelsets::Refusal refusal;
  try {
    if (!pixelsets::OpenSource(argv[1], load, &list, &source, &refusal)) {
      std::fprintf(stderr, "%s %s\n", refusal.reason.c_str(),
                   refusal.detail.c_str());
      return 1;
    }
    steps.Seen(Step::kRead);
    pixelsets::SetPair pair;
    pixelsets::DrawOptions draw;
    draw.scratch = [&pair] { return pair.OpenScratch(); };
    draw.progress = steps.Tell();
    std::string err;
    const auto said = [](const std::string&) {};
    const bool ok =
        pair.Open(&err) &&
        pixelsets::Partition(
            &source, std::atoi(argv[2]), std::atoi(argv[3]),
            pixelsets::SeededRand(static_cast<unsigned>(std::time(nullptr))),
            pair.streams(), draw, &err) &&
        pair.Sync(&err) && (steps.Seen(Step::kSync), true) &&
        pixelsets::SourceUnchanged(source, &err) && pair.Commit(said, &err);
    std::fclose(list);
    if (!ok) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "out of memory\n");
    return 1;
  }
  const auto synced = steps.Print(start);
  std::printf("check and commit %.3f\n",
              std::chrono::duration<double>(Clock::now() - synced).count());
  return 0;
}
