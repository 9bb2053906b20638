// The order of a run, read in one place: ask for the source and load it, ask
// the two counts, draw the sets into the pair's temporaries, check that the
// source is still what was loaded while the sets reach storage, put the pair
// in place, and say how it ended.

#include "run/run.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <variant>

#include "pixelsets/draw.h"
#include "pixelsets/messages.h"
#include "pixelsets/platform.h"
#include "pixelsets/second_thread.h"
#include "pixelsets/set_files.h"
#include "pixelsets/source_file.h"
#include "run/dialogue.h"
#include "run/progress.h"

namespace particion {
namespace {

using pixelsets::Source;

// Says why a run ends without a new pair; its exit status.
int Fail(std::FILE* err, const std::string& message) {
  std::fprintf(err, "%s\n", message.c_str());
  return 1;
}

int EndOfInput(std::FILE* in, std::FILE* err) {
  // Input that ends at a question typed on a terminal leaves the cursor on
  // the question's line.
  if (pixelsets::IsTerminal(in) && pixelsets::IsTerminal(err))
    std::fputc('\n', err);
  return Fail(err, pixelsets::kEndOfInput);
}

// How long a sync is expected to take, for the progress of one whose time
// cannot be told: its share nears its end as it goes on, half of it at this
// time, and reaches it only when the sync ends.
constexpr std::chrono::milliseconds kExpectedSync{2000};
constexpr std::chrono::milliseconds kTellSyncEvery{200};

// Syncs both sets, telling `progress` the time it takes: one system call
// per set, which says nothing until it ends.
bool SyncTelling(pixelsets::SetPair* pair, ProgressLine* progress,
                 std::string* err) {
  if (!progress->shown()) return pair->Sync(err);
  std::mutex lock;
  std::condition_variable ended;
  bool done = false;
  bool synced = false;
  const auto end = [&] {
    std::lock_guard<std::mutex> hold(lock);
    done = true;
    ended.notify_all();
  };
  pixelsets::SecondThread sync([&] {
    try {
      synced = pair->Sync(err);
    } catch (...) {
      end();
      throw;
    }
    end();
  });
  const auto start = std::chrono::steady_clock::now();
  if (sync.started()) {
    std::unique_lock<std::mutex> hold(lock);
    while (!ended.wait_for(hold, kTellSyncEvery, [&] { return done; })) {
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      const auto ms = static_cast<std::uint64_t>(waited.count());
      progress->Tell(pixelsets::Step::kSync, ms,
                     ms + static_cast<std::uint64_t>(kExpectedSync.count()));
    }
  }
  sync.Join();
  progress->Tell(pixelsets::Step::kSync, 1, 1);
  return synced;
}

// Syncs both sets and, meanwhile, reads the source again to check that it
// still holds what was loaded: the check costs a pass over the source, which
// the wait for storage hides.
bool SyncAndCheck(pixelsets::SetPair* pair, const Source& source,
                  ProgressLine* progress, std::string* err) {
  std::string changed;
  bool unchanged = true;
  pixelsets::SecondThread check(
      [&] { unchanged = pixelsets::SourceUnchanged(source, &changed); });
  const bool synced = SyncTelling(pair, progress, err);
  check.Join();
  if (synced && !unchanged) *err = changed;
  return synced && unchanged;
}

// What the draw tells, for the line on the terminal; nothing where the
// line is not shown.
pixelsets::TellProgress TellTo(ProgressLine* progress) {
  if (!progress->shown()) return {};
  return [progress](pixelsets::Step step, std::uint64_t done,
                    std::uint64_t total) { progress->Tell(step, done, total); };
}

// Draws the sets into the temporaries of the pair and puts them in place.
// A source rewritten or cut short while the sets were drawn gave them text
// that was never a record of it: such sets must not replace the earlier
// ones, hence the check before the commit.
bool WritePair(Source* source, std::int32_t n_entr, std::int32_t n_test,
               const pixelsets::Generator& rand, ProgressLine* progress,
               std::FILE* err, std::string* reason) {
  pixelsets::SetPair pair;
  pixelsets::DrawOptions options;
  options.scratch = [&pair] { return pair.OpenScratch(); };
  options.progress = TellTo(progress);
  progress->StartRun(
      std::holds_alternative<pixelsets::StreamedSource>(source->held)
          ? StreamedWeights()
          : InMemoryWeights());
  // Whatever else is said goes on a line of its own.
  const auto notify = [err, progress](const std::string& message) {
    progress->Erase();
    std::fprintf(err, "%s\n", message.c_str());
    std::fflush(err);
  };
  const bool written = pair.Open(reason) &&
                       pixelsets::Partition(source, n_entr, n_test, rand,
                                            pair.streams(), options, reason) &&
                       SyncAndCheck(&pair, *source, progress, reason) &&
                       pair.Commit(notify, reason);
  pair.RemoveScratch(notify);
  return written;
}

// How long a part of the run goes before its progress shows: a second, or
// what the environment sets for tests that watch the line on small lists.
std::chrono::milliseconds ProgressAfter() {
  const char* set = std::getenv("PARTICION_PROGRESS_AFTER_MS");
  if (set == nullptr || *set == '\0') return std::chrono::seconds(1);
  return std::chrono::milliseconds(std::strtoul(set, nullptr, 10));
}

int Run(std::FILE* in, std::FILE* out, std::FILE* err) {
  std::FILE* fOrigen = nullptr;
  Source cadenas;
  const pixelsets::Generator rand =
      pixelsets::SeededRand(static_cast<unsigned>(std::time(nullptr)));

  ProgressLine progress(in, err, ProgressAfter());
  std::string ended;  // why no source can be taken
  const auto try_source = [&](const std::string& typed,
                              pixelsets::Refusal* refusal) {
    pixelsets::LoadOptions load;
    load.progress = TellTo(&progress);
    progress.StartReading();
    const bool taken =
        pixelsets::OpenSource(typed, load, &fOrigen, &cadenas, refusal);
    progress.Erase();
    if (refusal->ends_run) ended = refusal->reason;
    return taken;
  };
  switch (AskSource(in, out, err, try_source)) {
    case Answer::kAccepted:
      break;
    case Answer::kEndOfInput:
      return EndOfInput(in, err);
    case Answer::kEndsRun:
      return Fail(err, ended);
  }
  // The loader refuses more records than a signed 32-bit count holds.
  const auto n_total = static_cast<std::int32_t>(cadenas.records());
  std::int32_t n_entr = 0;
  std::int32_t n_test = 0;
  if (AskCount(in, out, pixelsets::kAskTraining, n_total, &n_entr) ==
          Answer::kEndOfInput ||
      AskCount(in, out, pixelsets::kAskTest, n_total - n_entr, &n_test) ==
          Answer::kEndOfInput) {
    std::fclose(fOrigen);
    return EndOfInput(in, err);
  }

  std::string reason;
  const bool written =
      WritePair(&cadenas, n_entr, n_test, rand, &progress, err, &reason);
  progress.Erase();
  std::fclose(fOrigen);
  return written ? 0 : Fail(err, reason);
}

}  // namespace

int RunSplit(std::FILE* in, std::FILE* out, std::FILE* err) {
  pixelsets::UseTheUsersLanguage();
  pixelsets::KeepThreadsSmall();
  try {
    return Run(in, out, err);
  } catch (const std::bad_alloc&) {
    // Whatever was being built is gone with the stack; no set file was
    // replaced, and the pair has removed its temporaries.
    return Fail(err, pixelsets::kNoMemory);
  }
}

}  // namespace particion
