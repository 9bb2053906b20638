// A source held in memory: mapped where it can be, read whole where it
// cannot (a pipe, a FIFO, a platform without mapping), and indexed.

#include <algorithm>
#include <cstring>
#include <new>
#include <variant>

#include "pixelsets/fingerprints.h"
#include "pixelsets/messages.h"
#include "pixelsets/progress.h"
#include "pixelsets/second_thread.h"
#include "pixelsets/source_readers.h"

namespace pixelsets {
namespace {

// A source of unknown size (a pipe, a device) is read in small chunks so that
// an endless one is refused soon after its first over-long line; a regular
// file of known size is read in large ones.
constexpr std::size_t kSmallChunk = std::size_t{64} << 10;
constexpr std::size_t kLargeChunk = std::size_t{8} << 20;
// Below this a mapped text is indexed on one thread.
constexpr std::size_t kSplitFrom = std::size_t{8} << 20;
// IndexLines found no line too long.
constexpr std::size_t kAllLines = static_cast<std::size_t>(-1);
// IndexLines found other lines than were counted: the text changed between.
constexpr std::size_t kOtherLines = static_cast<std::size_t>(-2);
// How often the progress of a mapped text is told, in bytes: a few times a
// second at the speed of a slow disk.
constexpr std::size_t kTellEvery = std::size_t{16} << 20;

// The bytes of a mapped text counted and indexed, told as they grow; from
// both indexing threads.
class Told {
 public:
  Told(const TellProgress& tell, std::uint64_t size)
      : tell_(tell), total_(2 * size) {}
  void Add(std::uint64_t bytes) {
    if (!tell_) return;
    done_.Add(bytes,
              [this](std::uint64_t done) { tell_(Step::kRead, done, total_); });
  }

 private:
  const TellProgress& tell_;
  std::uint64_t total_;
  SharedCount done_;
};

// The "\n" of a mapped text on either side of a line start `split`.
struct Counted {
  std::size_t before = 0;  // in [from, split)
  std::size_t after = 0;   // in [split, len)
};

// Fingerprints blocks [first, last) of text[0, len) into `sums`, and counts
// their "\n" from `from` on, on either side of `split`. One pass for both:
// the block just summed is counted from the cache, not read again, and the
// fingerprints are of the bytes the index is then built from, so that any
// later change shows when the source is checked.
Counted SumAndCount(const char* text, std::size_t len, std::size_t from,
                    std::size_t split, std::size_t first, std::size_t last,
                    std::uint64_t* sums, Told* told) {
  Counted counted;
  std::size_t untold = 0;
  for (std::size_t b = first; b < last; ++b) {
    const std::size_t start = b * kSumBlock;
    const std::size_t end = std::min(len, start + kSumBlock);
    sums[b] = BlockSum(text + start, end - start);
    const std::size_t before_from = std::max(start, from);
    const std::size_t before_to = std::min(end, split);
    if (before_from < before_to)
      counted.before += CountLineEnds(text, before_from, before_to);
    const std::size_t after_from = std::max(start, split);
    if (after_from < end) counted.after += CountLineEnds(text, after_from, end);
    untold += end - start;
    if (untold >= kTellEvery || b + 1 == last) {
      told->Add(untold);
      untold = 0;
    }
  }
  return counted;
}

// The index as it grows: 4-byte offsets while they fit, 8-byte after.
class Index {
 public:
  // An index of at most `room` records, which memory holds.
  Index(InMemorySource* source, std::uint64_t narrow_limit, std::uint64_t room)
      : cadenas_(&source->cadenas), narrow_limit_(narrow_limit), room_(room) {}

  // The index's width for a text of `size` bytes, and room for its records
  // unless they are `counted` before they are indexed. Lines hold at least
  // a few bytes each: reserving for short lines avoids regrowing the index,
  // and untouched reserve is never resident.
  void Reserve(std::uint64_t size, bool counted) {
    const auto expected = static_cast<std::size_t>(counted ? 0 : size / 8);
    if (size >= narrow_limit_) cadenas_->emplace<1>();
    std::visit([expected](auto& index) { index.reserve(expected); }, *cadenas_);
  }

  void Push(std::size_t offset) {
    Room();
    if (auto* narrow = std::get_if<0>(cadenas_)) {
      if (offset < narrow_limit_) {
        narrow->push_back(static_cast<std::uint32_t>(offset));
        return;
      }
      // Past what 4 bytes can say (a source that grew beyond its size hint,
      // or one read through a pipe): widen the index once.
      LargeVector<std::uint64_t> wide(narrow->begin(), narrow->end());
      cadenas_->emplace<1>(std::move(wide));
    }
    std::get<1>(*cadenas_).push_back(offset);
  }

  decltype(InMemorySource::cadenas)* cadenas() { return cadenas_; }
  std::uint64_t room() const { return room_; }
  // Whether the records counted so far fit in the room.
  bool fits() const { return fits_; }
  void NoRoom() { fits_ = false; }

 private:
  // Before the index grows: new memory the system cannot give would end the
  // run by its hand, where a lack of memory said now keeps it in ours.
  void Room() {
    std::visit(
        [](auto& index) {
          if (index.size() == index.capacity() &&
              index.capacity() * sizeof(index[0]) > MemoryFree())
            throw std::bad_alloc();
        },
        *cadenas_);
  }

  decltype(InMemorySource::cadenas)* cadenas_;
  std::uint64_t narrow_limit_;
  std::uint64_t room_;
  bool fits_ = true;
};

// Writes the start of each line of text[from, to) that ends in "\n" to
// `out`, which holds the `counted` lines found there before, and where the
// next line starts to `*next`. Returns how many lines come before the first
// that is too long, kAllLines, or kOtherLines when the text no longer holds
// `counted` lines: a file rewritten since it was counted must be refused,
// not written past the index. Tells `told` the bytes indexed now and then.
template <class Offset>
std::size_t IndexLines(const char* text, std::size_t from, std::size_t to,
                       Offset* out, std::size_t counted, std::size_t* next,
                       Told* told) {
  std::size_t start = from;
  std::size_t told_to = from;
  std::size_t k = 0;
  bool more = false;
  // A word at a time, not a search per line: a search costs a call, which
  // lines of a dozen bytes pay ten million times.
  const bool all = ForEachLineEnd(text, from, to, [&](std::size_t end) {
    if (k == counted) {
      more = true;
      return false;
    }
    if (TooLong(text, start, end)) return false;
    out[k++] = static_cast<Offset>(start);
    start = end + 1;
    if (start - told_to >= kTellEvery) {
      told->Add(start - told_to);
      told_to = start;
    }
    return true;
  });
  if (more || (all && k != counted)) return kOtherLines;
  if (!all) return k;
  told->Add(to - told_to);
  *next = start;
  return kAllLines;
}

// What indexing a mapped text in two halves came to.
enum class Halves { kIndexed, kBroken, kTooMany, kNoRoom };

// Finding the lines is a fifth of a large run. Counted first (a fast pass,
// each half on a core of its own, which also takes the text's fingerprints
// into `*sums`), the lines of each half can be indexed straight into their
// place in one array, on two cores, with no copy and no memory beyond the
// index.
// Measured at ten million records: loading took 0.07 s on one thread and
// 0.04 s so (the whole run 0.33 s and 0.29 s); at thirty million, 0.21 s and
// 0.14 s. Too many records (the ordinary way then finds where, or a long
// line before) or more than `room` are found before the index takes any
// memory, with `*line_start` left as it was.
template <class Offset>
Halves IndexHalves(const char* text, std::size_t len, std::size_t split,
                   LargeVector<Offset>* index, LineRules* rules,
                   std::uint64_t room, std::size_t* line_start,
                   std::vector<std::uint64_t>* sums, Told* told) {
  const std::size_t blocks = (len + kSumBlock - 1) / kSumBlock;
  sums->assign(blocks, 0);
  Counted later;
  SecondThread counter([&] {
    later = SumAndCount(text, len, *line_start, split, blocks / 2, blocks,
                        sums->data(), told);
  });
  const Counted sooner = SumAndCount(text, len, *line_start, split, 0,
                                     blocks / 2, sums->data(), told);
  counter.Join();
  const std::size_t first = sooner.before + later.before;
  const std::size_t second = sooner.after + later.after;
  if (rules->TooMany(first + second)) return Halves::kTooMany;
  if (first + second + 1 > room) return Halves::kNoRoom;
  index->reserve(first + second + 1);  // room for a last line without "\n"
  index->resize(first + second);
  std::size_t second_bad = kAllLines;
  std::size_t last_start = len;
  SecondThread indexer([&] {
    second_bad = IndexLines(text, split, len, index->data() + first, second,
                            &last_start, told);
  });
  told->Add(*line_start);
  std::size_t first_end = split;
  const std::size_t first_bad = IndexLines(
      text, *line_start, split, index->data(), first, &first_end, told);
  indexer.Join();
  // The split was found before the fingerprints were taken: the first half
  // must still end where the second starts.
  if (first_bad == kOtherLines || second_bad == kOtherLines ||
      (first_bad == kAllLines && first_end != split)) {
    index->clear();
    rules->Fail(kSourceChanged);
    return Halves::kBroken;
  }
  const std::uint64_t bad = first_bad != kAllLines    ? first_bad
                            : second_bad != kAllLines ? first + second_bad
                                                      : first + second;
  *line_start = last_start;
  if (rules->TakeRecords(first + second, bad)) return Halves::kIndexed;
  index->clear();
  return Halves::kBroken;
}

// Indexes a mapped text whole; `*line_start` ends at its unfinished last
// line.
bool IndexMapped(const char* text, std::size_t len, LineRules* rules,
                 Index* index, std::size_t* line_start,
                 std::vector<std::uint64_t>* sums, const TellProgress& tell) {
  std::size_t scan = 0;
  const auto push = [index](std::size_t start) { index->Push(start); };
  const void* header_end = std::memchr(text, '\n', len);
  if (len < kSplitFrom || header_end == nullptr) {
    *sums = BlockSums(text, len);
    return TakeLines(text, len, line_start, &scan, rules, push);
  }
  // The header is read before the fingerprints are taken: the first block's
  // fingerprint taken now, and found the same then, says it is the header of
  // the text they are of (a longer one is refused as too long anyway).
  const std::uint64_t first_block = BlockSum(text, std::min(len, kSumBlock));
  const auto header_kept = [&] {
    return (*sums)[0] == first_block || rules->Fail(kSourceChanged);
  };
  // The header the ordinary way.
  const auto header_len =
      static_cast<std::size_t>(static_cast<const char*>(header_end) - text + 1);
  if (!TakeLines(text, header_len, line_start, &scan, rules, push))
    return false;
  const std::size_t half = std::max(*line_start, len / 2);
  const void* middle = std::memchr(text + half, '\n', len - half);
  if (middle == nullptr) {
    *sums = BlockSums(text, len);
    return header_kept() &&
           TakeLines(text, len, line_start, &scan, rules, push);
  }
  const auto split =
      static_cast<std::size_t>(static_cast<const char*>(middle) - text + 1);
  Told told(tell, len);
  const Halves halves = std::visit(
      [&](auto& cadenas) {
        return IndexHalves(text, len, split, &cadenas, rules, index->room(),
                           line_start, sums, &told);
      },
      *index->cadenas());
  if (halves == Halves::kNoRoom) index->NoRoom();
  if (halves != Halves::kTooMany)
    return halves == Halves::kIndexed && header_kept();
  return header_kept() && TakeLines(text, len, line_start, &scan, rules, push);
}

// Reads `f` into `*text`, indexing the lines as the bytes arrive, so that a
// bad line is found before the rest of the file is read.
bool ReadWhole(std::FILE* f, std::uint64_t size_hint, LineRules* rules,
               Index* index, LargeVector<char>* text, std::size_t* line_start,
               std::size_t* len, const TellProgress& tell) {
  // One byte over the hint, so that the end of the file is seen without
  // growing the buffer. A hint too large for this platform's sizes is none.
  if (size_hint >= static_cast<std::size_t>(-1)) size_hint = 0;
  text->resize(size_hint > 0 ? static_cast<std::size_t>(size_hint) + 1
                             : kSmallChunk);
  const std::size_t chunk = size_hint > 0 ? kLargeChunk : kSmallChunk;
  std::size_t scan = 0;
  for (;;) {
    if (*len == text->size()) {
      // New memory the system cannot give would end the run by its hand.
      if (text->size() > MemoryFree()) throw std::bad_alloc();
      text->resize(text->size() * 2);
    }
    const std::size_t want = std::min(chunk, text->size() - *len);
    const std::size_t got = std::fread(text->data() + *len, 1, want, f);
    *len += got;
    if (tell) tell(Step::kRead, *len, size_hint);
    if (!TakeLines(text->data(), *len, line_start, &scan, rules,
                   [index](std::size_t start) { index->Push(start); }))
      return false;
    // The unfinished line is already too long even if a "\r" ends it.
    if (*len - *line_start > kMaxLineLength + 1) return rules->FailLongLine();
    if (got == want) continue;
    return std::ferror(f) == 0 || rules->Fail(kReadError);
  }
}

}  // namespace

bool ReadIntoMemory(std::FILE* f, std::uint64_t size_hint,
                    std::uint64_t narrow_limit, std::uint64_t room,
                    LineRules* rules, InMemorySource* source, bool* fits,
                    const TellProgress& tell) {
  Index index(source, narrow_limit, room);
  std::size_t line_start = 0;
  std::size_t len = 0;
  // A regular file is mapped, not copied: its pages are already in memory
  // once read, and new memory is what costs the most on a large source.
  source->mapped = MappedFile::Map(f);
  if (source->mapped.mapped()) {
    source->text = source->mapped.data();
    len = source->mapped.size();
    // A large text is counted first and its index taken to the record.
    index.Reserve(len, /*counted=*/len >= kSplitFrom);
    const bool indexed = IndexMapped(source->text, len, rules, &index,
                                     &line_start, &source->sums, tell);
    *fits = index.fits();
    if (!indexed) return false;
  } else {
    index.Reserve(size_hint, /*counted=*/false);
    if (!ReadWhole(f, size_hint, rules, &index, &source->read_text, &line_start,
                   &len, tell))
      return false;
    source->text = source->read_text.data();
  }
  source->size = len;
  // The last line, which no "\n" ends.
  bool record = false;
  if (line_start < len && !rules->Take(source->text, line_start, len, &record))
    return false;
  if (record) index.Push(line_start);
  return rules->FailIfEmpty();
}

}  // namespace pixelsets
