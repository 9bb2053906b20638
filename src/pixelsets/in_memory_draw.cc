#include "pixelsets/in_memory_draw.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>
#include <variant>

#include "pixelsets/draw_positions.h"
#include "pixelsets/prefetch.h"
#include "pixelsets/progress.h"
#include "pixelsets/record.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

// How far ahead to fetch a record's text in the second pass: far larger than
// the caches, so each access is a miss. Measured at ten million records:
// without it a run took 1.08 s instead of 0.43 s; 8, 12, 20 or 32 ahead did
// no better than 16. Both lines a short record's 16 bytes may touch are
// fetched: a record of a dozen bytes crosses a line one time in five, and
// with both a run took 0.87 and 0.89 of the time it took with the first
// only (medians of 15 paired runs at ten million records).
constexpr std::size_t kTextAhead = 16;
// Below this many draws a second thread costs more than it saves (starting
// one takes tens of microseconds, drawing this many a millisecond or two).
constexpr std::size_t kThreadFrom = 65536;
// How often the gatherers tell their progress, in records.
constexpr std::size_t kReportEvery = 65536;

// One set's share of the draw: draw slots [from, to), and its file.
struct Part {
  std::size_t from, to;
  BlockWriter* out;
  const char* name;
  std::string err;
  bool ok = false;
};

// The draw of one run, in two passes. The first pass is the procedure
// itself (DrawPositions); the second gathers the drawn records' text in
// draw order into the set files, and may follow the first as it publishes
// how far it has come.
template <class Offset>
class TwoPassDraw {
 public:
  TwoPassDraw(Offset* cadenas, std::size_t n_total, std::size_t total,
              const InMemorySource& source, const DrawOptions& options)
      : cadenas_(cadenas),
        n_total_(n_total),
        total_(total),
        text_(source.text),
        text_size_(source.size),
        options_(options) {}

  void Permute(const Generator& rand) {
    DrawPositions(
        cadenas_, n_total_, total_, rand,
        [this](std::size_t drawn) {
          drawn_.Publish(drawn);
          if (options_.progress &&
              (drawn % kReportEvery == 0 || drawn == total_))
            options_.progress(Step::kDraw, drawn, total_);
        },
        [this] { return failed_.load(); });
  }
  // Gathers the part's draws into its file and finishes it; false with
  // `part->err` filled when a write fails, or when the draw was given up.
  void Gather(Part* part) {
    errno = 0;
    part->ok = GatherInDrawOrder(part);
    if (part->ok) part->ok = part->out->Finish();
    if (!part->ok && errno != kGivenUp) Fail(part);
  }
  // Stops both passes early; a gatherer stops waiting.
  void GiveUp() {
    failed_.store(true);
    drawn_.GiveUp();
  }

 private:
  // Not an errno: a part that stopped because the other failed.
  static constexpr int kGivenUp = -1;

  bool GatherInDrawOrder(Part* part);
  // Waits until draws up to `k` are placed; false once the draw is given up.
  bool WaitFor(std::size_t k, std::size_t* ready) {
    *ready = drawn_.WaitPast(k);
    if (*ready != DrawnCount::kGivenUp && !failed_.load()) return true;
    errno = kGivenUp;
    return false;
  }
  // Notes a failed write of the part (the reason in errno) and stops both
  // passes: the draw, and a gatherer that waits for it, which would
  // otherwise wait for draws that never come.
  void Fail(Part* part) {
    part->err = SetFileError(part->name, errno);
    GiveUp();
  }
  // The offset of the k-th record drawn.
  Offset DrawnAt(std::size_t k) const { return cadenas_[n_total_ - 1 - k]; }
  // Tells how many records both gatherers have written, now and then.
  void Written(std::size_t records) {
    if (!options_.progress) return;
    written_.Add(records, [this](std::uint64_t written) {
      options_.progress(Step::kWrite, written, total_);
    });
  }

  Offset* cadenas_;
  std::size_t n_total_;
  std::size_t total_;
  const char* text_;
  std::size_t text_size_;
  const DrawOptions& options_;
  DrawnCount drawn_;  // records the first pass has placed
  std::atomic<bool> failed_{false};
  SharedCount written_;  // by both gatherers
};

template <class Offset>
bool TwoPassDraw<Offset>::GatherInDrawOrder(Part* part) {
  std::size_t ready = part->from;
  for (std::size_t k = part->from; k < part->to; ++k) {
    if (k == ready && !WaitFor(k, &ready)) return false;
    if (k + kTextAhead < ready) {
      // An offset into the text in memory, which the platform's sizes hold.
      const auto ahead = static_cast<std::size_t>(DrawnAt(k + kTextAhead));
      Prefetch(text_ + ahead);
      Prefetch(text_ + std::min(ahead + kCopyAtOnce - 1, text_size_ - 1));
    }
    const Offset at = DrawnAt(k);
    std::string_view record;
    const bool written = ShortRecordAt(text_, text_size_, at, &record)
                             ? part->out->PaddedLine(record)
                             : part->out->Line(RecordAt(text_, text_size_, at));
    if (!written) return false;
    if ((k - part->from + 1) % kReportEvery == 0) Written(kReportEvery);
  }
  Written((part->to - part->from) % kReportEvery);
  return true;
}

// Draws into both files. A large draw runs on two cores: one thread draws
// the positions and then gathers the smaller set, the other gathers the
// larger set as the positions come. Gathering is about three times the work
// of drawing positions: measured at ten million records, 70 % for training,
// a run took 0.40 s with one gatherer for both sets and 0.30 s split so.
template <class Offset>
bool DrawSets(LargeVector<Offset>* cadenas, const InMemorySource& source,
              const DrawCounts& counts, const Generator& rand, SetWriters* out,
              const DrawOptions& options, std::string* err) {
  const std::size_t n_total = cadenas->size();
  TwoPassDraw<Offset> draw(cadenas->data(), n_total, counts.total(), source,
                           options);
  Part parts[2] = {{0,
                    counts.entrenamiento,
                    &out->entrenamiento,
                    out->names.entrenamiento.name,
                    {}},
                   {counts.entrenamiento,
                    counts.total(),
                    &out->test,
                    out->names.test.name,
                    {}}};
  Part& larger = counts.entrenamiento >= counts.test ? parts[0] : parts[1];
  Part& smaller = counts.entrenamiento >= counts.test ? parts[1] : parts[0];
  std::optional<SecondThread> gatherer;
  if (counts.total() >= kThreadFrom) {
    gatherer.emplace(
        [&] {
          try {
            draw.Gather(&larger);
          } catch (...) {  // a message that did not fit: stop both
            draw.GiveUp();
            throw;
          }
        },
        [&] { draw.GiveUp(); });
  }
  try {
    draw.Permute(rand);
    if (!gatherer || !gatherer->started()) {
      gatherer.reset();
      draw.Gather(&larger);
    }
    draw.Gather(&smaller);
    if (gatherer) gatherer->Join();
  } catch (...) {
    draw.GiveUp();
    throw;
  }
  cadenas->resize(n_total - counts.total());
  if (parts[0].ok && parts[1].ok) return true;
  // The training set's failure first, as a draw one record at a time would
  // meet it; a part stopped by the other's failure has no reason of its own.
  *err = parts[0].err.empty() ? parts[1].err : parts[0].err;
  return false;
}

}  // namespace

bool InMemoryDraw(InMemorySource* source, const DrawCounts& counts,
                  const Generator& rand, SetWriters* out,
                  const DrawOptions& options, std::string* err) {
  return std::visit(
      [&](auto& cadenas) {
        return DrawSets(&cadenas, *source, counts, rand, out, options, err);
      },
      source->cadenas);
}

}  // namespace pixelsets
