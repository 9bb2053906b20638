// The order of a run, read in one place: ask for the source and load it, ask
// the two counts, draw the sets into the pair's temporaries, check that the
// source is still what was loaded while the sets reach storage, put the pair
// in place, and say how it ended.

#include "run/run.h"

#include <cstdint>
#include <ctime>
#include <new>
#include <string>

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

// Syncs both sets and, meanwhile, reads the source again to check that it
// still holds what was loaded: the check costs a pass over the source, which
// the wait for storage hides.
bool SyncAndCheck(pixelsets::SetPair* pair, const Source& source,
                  std::string* err) {
  std::string changed;
  bool unchanged = true;
  pixelsets::SecondThread check(
      [&] { unchanged = pixelsets::SourceUnchanged(source, &changed); });
  const bool synced = pair->Sync(err);
  check.Join();
  if (synced && !unchanged) *err = changed;
  return synced && unchanged;
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
  if (progress->shown()) {
    options.progress = [progress](std::uint64_t done, std::uint64_t total) {
      progress->Update(done, total);
    };
  }
  const auto notify = [err](const std::string& message) {
    std::fprintf(err, "%s\n", message.c_str());
    std::fflush(err);
  };
  const bool written = pair.Open(reason) &&
                       pixelsets::Partition(source, n_entr, n_test, rand,
                                            pair.streams(), options, reason) &&
                       SyncAndCheck(&pair, *source, reason) &&
                       pair.Commit(notify, reason);
  pair.RemoveScratch(notify);
  return written;
}

int Run(std::FILE* in, std::FILE* out, std::FILE* err) {
  std::FILE* fOrigen = nullptr;
  Source cadenas;
  const pixelsets::Generator rand =
      pixelsets::SeededRand(static_cast<unsigned>(std::time(nullptr)));

  std::string ended;  // why no source can be taken
  const auto try_source = [&](const std::string& typed,
                              pixelsets::Refusal* refusal) {
    const bool taken =
        pixelsets::OpenSource(typed, {}, &fOrigen, &cadenas, refusal);
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
  ProgressLine progress(in, err);
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
