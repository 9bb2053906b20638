#include "pixelsets/streamed_draw.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <numeric>
#include <optional>
#include <string_view>
#include <vector>

#include "pixelsets/bucket_groups.h"
#include "pixelsets/bucket_order.h"
#include "pixelsets/bucket_plan.h"
#include "pixelsets/buckets.h"
#include "pixelsets/draw_in_blocks.h"
#include "pixelsets/draw_positions.h"
#include "pixelsets/filing_pass.h"
#include "pixelsets/memory_budget.h"
#include "pixelsets/messages.h"
#include "pixelsets/prefetch.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

// Counts the records filed and then written, over all rounds, and tells
// the caller's progress of each.
class Progress {
 public:
  Progress(const DrawOptions& options, std::size_t total)
      : options_(options), total_(total) {}
  void Filed(std::uint64_t records) { Add(Step::kFile, &filed_, records); }
  void Written(std::uint64_t records) {
    Add(Step::kBuckets, &written_, records);
  }

 private:
  void Add(Step step, std::uint64_t* done, std::uint64_t records) {
    *done += records;
    if (options_.progress) options_.progress(step, *done, total_);
  }

  const DrawOptions& options_;
  std::uint64_t total_;
  std::uint64_t filed_ = 0;
  std::uint64_t written_ = 0;
};

// How many entries of an array are set up, or draws noted, between two
// tellings of progress: some tens of milliseconds of work.
constexpr std::size_t kTellEvery = std::size_t{1} << 22;

// Notes in `bucket_of` the bucket of each record drawn in round `round`,
// draws [from, to), from `cadenas`, whose draws stack up from its end. The
// records are met at random: each one's place is fetched ahead.
void Note(const std::uint32_t* cadenas, std::size_t n, const BucketPlan& plan,
          std::size_t round, std::size_t from, std::size_t to,
          std::uint8_t* bucket_of) {
  const std::size_t first = round * plan.round_slots();
  for (std::size_t k = from; k < to; ++k) {
    if (k + kIndexAhead < to)
      Prefetch(&bucket_of[cadenas[n - 1 - (k + kIndexAhead)]]);
    bucket_of[cadenas[n - 1 - k]] =
        static_cast<std::uint8_t>((k - first) / plan.per_bucket);
  }
}

// Notes the bucket of each record drawn in round `round`, the two cores
// taking half the draws each: each record is drawn once, so they never note
// the same one. Done after the draw rather than with each block of it, where
// it would lengthen the draw's busier thread.
// The first half is noted here a piece at a time, and the draws of both
// halves told as the pieces end.
void NoteRound(const std::uint32_t* cadenas, std::size_t n,
               const BucketPlan& plan, std::size_t round, std::size_t total,
               std::uint8_t* bucket_of, const TellProgress& tell) {
  const std::size_t from = round * plan.round_slots();
  const std::size_t to = std::min(total, from + plan.round_slots());
  const std::size_t middle = from + (to - from) / 2;
  SecondThread half(
      [&] { Note(cadenas, n, plan, round, middle, to, bucket_of); });
  for (std::size_t k = from; k < middle;) {
    const std::size_t end = std::min(middle, k + kTellEvery);
    Note(cadenas, n, plan, round, k, end, bucket_of);
    if (tell) tell(Step::kNote, std::min(to, from + 2 * (end - from)), total);
    k = end;
  }
  half.Join();
  if (tell) tell(Step::kNote, to, total);
}

// Numbers entries [0, to) of `all` in order, a piece at a time, telling how
// far it has come.
void NumberTelling(std::uint32_t* all, std::size_t to,
                   const TellProgress& tell) {
  for (std::size_t k = 0; k < to;) {
    const std::size_t end = std::min(to, k + kTellEvery);
    std::iota(all + k, all + end, static_cast<std::uint32_t>(k));
    if (tell) tell(Step::kPrepare, end, to);
    k = end;
  }
}

// Draws the positions on `numbers` (each record's number, in file order at
// first) and notes the bucket of each record drawn in the first round. The
// blocks of the draw take the memory the buckets take later, which is not
// yet in use.
void DrawAndNote(LargeVector<std::uint32_t>* numbers, std::size_t total,
                 const BucketPlan& plan, const Generator& rand,
                 std::uint8_t* bucket_of, const TellProgress& tell) {
  const std::size_t n = numbers->size();
  const auto block = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(PlanMemory(plan) / kBlockBytesPerDraw,
                                std::uint64_t{4} << 10, kDefaultBlock));
  // New memory costs most to touch first (on this machine, 10 GiB of it
  // took 15 s on one core): the two cores share it evenly, the notes (a
  // byte a record) and the last three eighths of the numbers on the second,
  // the rest of the numbers here.
  std::uint32_t* all = numbers->data();
  const std::size_t split = n - n / 8 * 3;
  SecondThread clear([&] {
    std::memset(bucket_of, kNoBucket, n);
    std::iota(all + split, all + n, static_cast<std::uint32_t>(split));
  });
  // The two shares take about as long: this one's progress stands for both.
  NumberTelling(all, split, tell);
  clear.Join();
  DrawInBlocks(numbers->data(), n, total, rand, block,
               [&tell, total](std::size_t drawn) {
                 if (tell) tell(Step::kDraw, drawn, total);
               });
  NoteRound(numbers->data(), n, plan, 0, total, bucket_of, tell);
}

// Asks storage for bucket `b` of `buckets`, flushed, ahead of its reading.
void ReadSoon(std::size_t b, const BucketHalves& buckets) {
  const BucketFile file = buckets.file(b);
  for (std::FILE* half : file.files) {
    if (half != nullptr) pixelsets::ReadSoon(half);
  }
}

// One round of the draw: the source read again into its buckets, and each
// bucket put in order and written out.
class Round {
 public:
  Round(const StreamedSource& source, LargeVector<std::uint32_t>* numbers,
        std::uint8_t* bucket_of, const BucketPlan& plan,
        const DrawCounts& counts)
      : source_(source),
        numbers_(numbers),
        bucket_of_(bucket_of),
        plan_(plan),
        counts_(counts) {}

  bool Run(std::size_t round, SetWriters* out, Progress* progress,
           const DrawOptions& options, std::string* err);

 private:
  // The slots of bucket `b` of the round that starts at slot `first`: how
  // many in `*slots`, and where their record numbers lie.
  std::uint32_t* SlotsOf(std::size_t first, std::size_t b,
                         std::size_t* slots) const;
  // What the second core makes ready of a bucket: its slots sorted, and
  // its lines found unless it is read whole.
  struct Prepared {
    SortedSlots sorted;
    bool whole = false;  // read whole, not into groups
    BucketLines lines;
    Regrouped found = Regrouped::kDone;
    int error = 0;  // errno of a failed read
  };
  // Puts each bucket of the round that starts at slot `first` in order and
  // writes it.
  bool WriteBuckets(std::size_t first, BucketHalves* buckets, SetWriters* out,
                    Progress* progress, std::string* err);
  // Makes ready bucket `b` of the round that starts at slot `first`, in the
  // half of the room for sorting that its number says.
  void Prepare(std::size_t first, std::size_t b, BucketHalves* buckets,
               LineFinder* finder, Prepared* ready);
  // Reads bucket `b`, made ready, into `groups` and lets its file go; false
  // with the message in `*err`.
  bool ReadBucket(std::size_t b, BucketHalves* buckets, Prepared* ready,
                  BucketGroups* groups, const SetWriters& out,
                  std::string* err);
  // Writes the bucket read into `groups`, whose first slot is `from`.
  bool WriteBucket(std::size_t from, BucketGroups* groups, SetWriters* out,
                   std::string* err);

  const StreamedSource& source_;
  LargeVector<std::uint32_t>* numbers_;
  std::uint8_t* bucket_of_;
  const BucketPlan& plan_;
  const DrawCounts& counts_;
};

bool Round::Run(std::size_t round, SetWriters* out, Progress* progress,
                const DrawOptions& options, std::string* err) {
  const std::size_t total = counts_.total();
  const std::size_t first = round * plan_.round_slots();
  const std::size_t last = std::min(total, first + plan_.round_slots());
  BucketHalves buckets((last - first + plan_.per_bucket - 1) / plan_.per_bucket,
                       kBucketBuffer);
  if (!buckets.Open(options.scratch)) {
    *err = SetFileError(out->names.entrenamiento.name, errno);
    return false;
  }
  std::uint64_t filed = 0;
  switch (FileRecords(source_, bucket_of_, &buckets, [&](std::uint64_t count) {
    progress->Filed(count - filed);
    filed = count;
  })) {
    case Filed::kDone:
      break;
    case Filed::kChanged:
      *err = kSourceChanged;
      return false;
    case Filed::kReadFailed:
      *err = kReadError;
      return false;
    case Filed::kWriteFailed:
      *err = SetFileError(out->names.entrenamiento.name, errno);
      return false;
  }
  progress->Filed(last - first - filed);
  return WriteBuckets(first, &buckets, out, progress, err);
}

std::uint32_t* Round::SlotsOf(std::size_t first, std::size_t b,
                              std::size_t* slots) const {
  const std::size_t from = first + b * plan_.per_bucket;
  *slots = std::min(plan_.per_bucket, counts_.total() - from);
  // The bucket's slots stack up from the end of the draw's array, the first
  // last.
  return numbers_->data() + (numbers_->size() - from - *slots);
}

void Round::Prepare(std::size_t first, std::size_t b, BucketHalves* buckets,
                    LineFinder* finder, Prepared* ready) {
  // The bucket after is read from storage while this one is sorted, if the
  // system's cache no longer holds it.
  if (b + 1 < buckets->count() && buckets->Flush(b + 1))
    ReadSoon(b + 1, *buckets);
  std::size_t slots = 0;
  std::uint32_t* records = SlotsOf(first, b, &slots);
  // Turned around, each slot's record number is at its place in the bucket.
  std::reverse(records, records + slots);
  // Two buckets' worth of room to sort them in, in the memory of the
  // records' bucket numbers.
  auto* room = reinterpret_cast<std::uint64_t*>(bucket_of_) +
               (b % 2) * 2 * plan_.per_bucket;
  ready->sorted = SortSlots(records, slots, numbers_->size(), room);
  // The record numbers are sorted: their room takes the lines' ends. A
  // bucket read whole has its lines found as it is read.
  errno = 0;
  ready->lines.slots = slots;
  ready->whole = false;
  if (!buckets->Flush(b)) {
    ready->found = Regrouped::kReadFailed;
  } else if (ReadsWhole(buckets->file(b).size(), slots)) {
    ready->whole = true;
    ready->found = Regrouped::kDone;
  } else {
    ready->found =
        finder->Find(buckets->file(b), ready->sorted.slot_of_line, slots,
                     records, ready->sorted.spare, &ready->lines);
  }
  ready->error = errno;
}

bool Round::ReadBucket(std::size_t b, BucketHalves* buckets, Prepared* ready,
                       BucketGroups* groups, const SetWriters& out,
                       std::string* err) {
  if (ready->found == Regrouped::kDone) {
    errno = 0;
    const std::size_t slots = ready->lines.slots;
    ready->found =
        ready->whole
            ? groups->ReadWhole(
                  buckets->file(b), ready->sorted.slot_of_line, slots,
                  reinterpret_cast<std::uint64_t*>(ready->sorted.spare))
            : groups->Read(buckets->file(b), ready->lines);
    ready->error = errno;
  }
  buckets->Release(b);
  if (ready->found == Regrouped::kDone) return true;
  *err = ready->found == Regrouped::kChanged
             ? std::string(kSourceChanged)
             : SetFileError(out.names.entrenamiento.name, ready->error);
  return false;
}

bool Round::WriteBucket(std::size_t from, BucketGroups* groups, SetWriters* out,
                        std::string* err) {
  std::size_t failed = from;
  const bool written =
      groups->Write([&](std::size_t slot, std::string_view record) {
        if (out->For(from + slot, counts_)->PaddedLine(record)) return true;
        failed = from + slot;
        return false;
      });
  if (!written) *err = SetFileError(out->NameFor(failed, counts_), errno);
  return written;
}

bool Round::WriteBuckets(std::size_t first, BucketHalves* buckets,
                         SetWriters* out, Progress* progress,
                         std::string* err) {
  if (buckets->count() == 0) return true;
  // The next bucket is sorted and its lines found on the second core while
  // this one is written.
  Prepared prepared[2];
  LineFinder finder;
  const auto prepare = [&](std::size_t b) {
    Prepare(first, b, buckets, &finder, &prepared[b % 2]);
  };
  // One allocation for every bucket: memory stays at the largest.
  BucketGroups groups(buckets->largest());
  if (buckets->Flush(0)) ReadSoon(0, *buckets);
  std::optional<SecondThread> ahead;
  ahead.emplace([&] { prepare(0); });
  for (std::size_t b = 0; b < buckets->count(); ++b) {
    ahead->Join();
    // The next bucket's sort and lines take the other half of the room.
    if (b + 1 < buckets->count())
      ahead.emplace([&prepare, b] { prepare(b + 1); });
    if (!ReadBucket(b, buckets, &prepared[b % 2], &groups, *out, err) ||
        !WriteBucket(first + b * plan_.per_bucket, &groups, out, err))
      return false;
    progress->Written(prepared[b % 2].lines.slots);
  }
  return true;
}

}  // namespace

bool StreamedDraw(const StreamedSource& source, const DrawCounts& counts,
                  const Generator& rand, SetWriters* out,
                  const DrawOptions& options, std::string* err) {
  const auto n = static_cast<std::size_t>(source.records);
  const std::size_t total = counts.total();
  // Memory taken by another program since the source was loaded: the run
  // says so rather than being ended by the system.
  if (StreamedNeed(source.size, n) > MemoryFree()) throw std::bad_alloc();
  // As many buckets a round as the run may open files, more rounds where
  // that is few: checked when the source was loaded, but other files may
  // have been opened since.
  const std::size_t files = FilesFree();
  if (files <= kFilesBesideBuckets) {
    *err = SetFileError(out->names.entrenamiento.name, EMFILE);
    return false;
  }
  const BucketPlan plan =
      PlanBuckets(source.records, source.size, total, options.bucket_bytes,
                  std::min(files - kFilesBesideBuckets, kMaxBuckets));
  LargeVector<std::uint32_t> numbers(n);
  // The records' bucket numbers, and afterwards the room to order a bucket.
  LargeVector<std::uint64_t> notes(
      (std::max(n, kOrderBytes * plan.per_bucket) + 7) / 8);
  auto* bucket_of = reinterpret_cast<std::uint8_t*>(notes.data());
  DrawAndNote(&numbers, total, plan, rand, bucket_of, options.progress);
  // The sets are larger than memory, most likely: what is stored of them
  // need not be kept.
  out->entrenamiento.ForgetWritten();
  out->test.ForgetWritten();
  Progress progress(options, total);
  Round round(source, &numbers, bucket_of, plan, counts);
  for (std::size_t r = 0; r < plan.rounds; ++r) {
    if (r > 0) {
      std::memset(bucket_of, kNoBucket, n);
      NoteRound(numbers.data(), n, plan, r, total, bucket_of, options.progress);
    }
    if (!round.Run(r, out, &progress, options, err)) return false;
  }
  return out->Finish(err);
}

}  // namespace pixelsets
