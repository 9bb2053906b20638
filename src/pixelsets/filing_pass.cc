#include "pixelsets/filing_pass.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "pixelsets/chunk_reader.h"
#include "pixelsets/fingerprints.h"
#include "pixelsets/platform.h"
#include "pixelsets/progress.h"
#include "pixelsets/record.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

constexpr std::size_t kCarry = ChunkReader::kCarry;
// A chunk's lines are found this much of it at a time, from its end, so
// that their starts stay in the caches until they are filed.
constexpr std::size_t kWindow = std::size_t{64} << 10;
// From this size a source is read in two halves at once.
constexpr std::uint64_t kHalvesFrom = std::uint64_t{4} << 20;
// How often the records filed are counted where the caller sees them.
constexpr std::uint64_t kTellEvery = 65536;

// Where `found`, a pointer into `text`, lies in it.
std::size_t At(const char* text, const void* found) {
  return static_cast<std::size_t>(static_cast<const char*>(found) - text);
}

// What the two passes over a source's halves share.
struct Shared {
  SharedCount filed;
  std::atomic<bool> stop{false};  // one pass failed: the other gives up
};

// The lines a pass files: those that start after each line end of bytes
// [from, to) (and the header, where `from` is 0), numbered from `first` up
// to `end`.
struct Part {
  std::uint64_t from, to, first, end;
};

class FilingPass {
 public:
  // `after`: the bytes of the source from `part.to` on (up to kCarry of
  // them), where the part's last line ends. `filed`, if given, is told the
  // records filed by both passes.
  FilingPass(const StreamedSource& source, const Part& part,
             const std::uint8_t* bucket_of, Buckets* buckets, Shared* shared,
             const std::function<void(std::uint64_t)>* filed,
             std::string_view after)
      : source_(source),
        part_(part),
        bucket_of_(bucket_of),
        buckets_(buckets),
        shared_(shared),
        filed_(filed),
        starts_(new std::uint32_t[kWindow + 1]),
        head_(new char[kCarry]),
        joined_(new char[2 * kCarry]) {
    head_size_ = after.size();
    if (!after.empty()) std::memcpy(head_.get(), after.data(), after.size());
  }

  // Files the part's records; kDone too when the other pass failed first.
  Filed Run();
  // The errno of a failed write.
  int error() const { return error_; }
  // The first bytes of the part, once run.
  std::string_view head() const { return {head_.get(), head_size_}; }

 private:
  // Whether the chunk just read is whole and as loaded.
  Filed Check(const ChunkReader& reader, std::size_t got) const;
  // Files the records of the `owned` lines that start in the chunk, from
  // the last: those after each of its line ends (but the file's last byte),
  // and in the first chunk the header too.
  Filed TakeChunk(const char* text, std::size_t got, std::uint64_t offset,
                  std::uint64_t owned);
  // The chunk's last line, which runs on into the chunk after, whose first
  // bytes were kept. False when it cannot be what was loaded.
  bool Join(const char* text, std::size_t start, std::size_t got,
            std::uint64_t offset, std::size_t* length);
  // Finds where the lines that start after the line ends of text[from, to)
  // start, but at `past`, and where the chunk is the file's first, the
  // header.
  void FindStarts(const char* text, std::size_t from, std::size_t to,
                  bool header, std::size_t past);
  // Files `line` (its "\n" excluded), line `number` of the source, if the
  // draw gave it a bucket; `zeros` if the line may hold a zero byte. False
  // only when a write fails.
  bool Take(std::uint64_t number, const char* line, std::size_t length,
            bool zeros) {
    if (number == 0) return true;  // the header
    const std::uint8_t bucket = bucket_of_[number - 1];
    if (bucket == kNoBucket) return true;
    const std::string_view record =
        zeros ? RecordOf({line, length})
              : RecordOfLineWithoutZero({line, length});
    if (!buckets_->Add(bucket, record)) {
      error_ = errno;
      return false;
    }
    if (++count_ % kTellEvery == 0) {
      shared_->filed.Add(kTellEvery, [this](std::uint64_t all) {
        if (filed_ != nullptr && *filed_) (*filed_)(all);
      });
    }
    return true;
  }

  const StreamedSource& source_;
  const Part part_;
  const std::uint8_t* bucket_of_;
  Buckets* buckets_;
  Shared* shared_;
  const std::function<void(std::uint64_t)>* filed_;
  std::uint64_t after_ = 0;  // lines that start in the chunks already read
  std::uint64_t count_ = 0;  // records filed
  int error_ = 0;
  // Where each line of the window in hand starts.
  std::unique_ptr<std::uint32_t[]> starts_;
  std::size_t starts_count_ = 0;
  // The first bytes of the chunk after the one in hand, where its last line
  // ends; and that line put together.
  std::unique_ptr<char[]> head_;
  std::size_t head_size_ = 0;
  std::unique_ptr<char[]> joined_;
};

Filed FilingPass::Run() {
  ChunkReader reader(source_.file, part_.to, source_.size, /*backward=*/true,
                     part_.from);
  const std::uint64_t lines = part_.end - part_.first;
  for (;;) {
    if (shared_->stop.load(std::memory_order_relaxed)) return Filed::kDone;
    std::size_t got;
    const char* text = reader.Next(nullptr, 0, &got);
    const std::uint64_t offset = reader.offset();
    if (const Filed checked = Check(reader, got); checked != Filed::kDone)
      return checked;
    const bool ends_file = offset + got == source_.size;
    const std::uint64_t owned = reader.line_ends() + (offset == 0 ? 1 : 0) -
                                (ends_file && text[got - 1] == '\n' ? 1 : 0);
    if (owned > lines - after_) return Filed::kChanged;
    if (const Filed taken = TakeChunk(text, got, offset, owned);
        taken != Filed::kDone)
      return taken;
    after_ += owned;
    head_size_ = std::min<std::size_t>(kCarry, got);
    std::memcpy(head_.get(), text, head_size_);
    if (offset == part_.from) break;
  }
  return after_ == lines ? Filed::kDone : Filed::kChanged;
}

Filed FilingPass::Check(const ChunkReader& reader, std::size_t got) const {
  const std::uint64_t offset = reader.offset();
  const std::uint64_t want =
      std::min<std::uint64_t>(reader.chunk(), source_.size - offset);
  const std::uint64_t first_block = offset / kSumBlock;
  const std::vector<std::uint64_t>& sums = reader.sums();
  // A failing disk is no change of the source, and is told as what it is.
  if (reader.failed()) return Filed::kReadFailed;
  if (got != want || first_block + sums.size() > source_.sums.size() ||
      (offset + got == source_.size &&
       first_block + sums.size() != source_.sums.size()))
    return Filed::kChanged;
  const auto first = static_cast<std::ptrdiff_t>(first_block);  // in range
  return std::equal(sums.begin(), sums.end(), source_.sums.begin() + first)
             ? Filed::kDone
             : Filed::kChanged;
}

void FilingPass::FindStarts(const char* text, std::size_t from, std::size_t to,
                            bool header, std::size_t past) {
  std::uint32_t* out = starts_.get();
  if (header) *out++ = 0;
  ForEachLineEnd(text, from, to, [&](std::size_t i) {
    // A chunk is small; a window's starts fit their room.
    if (i + 1 != past) *out++ = static_cast<std::uint32_t>(i + 1);
    return true;
  });
  starts_count_ = static_cast<std::size_t>(out - starts_.get());
}

Filed FilingPass::TakeChunk(const char* text, std::size_t got,
                            std::uint64_t offset, std::uint64_t owned) {
  const bool zeros = std::memchr(text, '\0', got) != nullptr;
  const bool ends_file = offset + got == source_.size;
  const std::uint64_t first = part_.end - after_ - owned;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t next = kNone;  // where the line after starts
  std::uint64_t left = owned;
  // From the last line back, so that the records come in descending number.
  for (std::size_t to = got;;) {
    const std::size_t from = to > kWindow ? to - kWindow : 0;
    // The file's last byte, a line end, starts no line.
    FindStarts(text, from, to, offset == 0 && from == 0,
               ends_file ? got : kNone);
    for (std::size_t k = starts_count_; k-- > 0;) {
      if (left == 0) return Filed::kChanged;
      --left;
      const std::size_t start = starts_[k];
      const char* line = text + start;
      std::size_t length;
      bool may_hold_zero = zeros;
      if (next != kNone) {
        length = next - 1 - start;
      } else if (ends_file) {
        // The last line of the file, with no line end or with one that is
        // the file's last byte.
        length = got - start - (text[got - 1] == '\n' ? 1 : 0);
      } else if (Join(text, start, got, offset, &length)) {
        line = joined_.get();
        may_hold_zero = true;
      } else {
        return Filed::kChanged;
      }
      if (!Take(first + left, line, length, may_hold_zero))
        return Filed::kWriteFailed;
      next = start;
    }
    if (from == 0) break;
    to = from;
  }
  return left == 0 ? Filed::kDone : Filed::kChanged;
}

bool FilingPass::Join(const char* text, std::size_t start, std::size_t got,
                      std::uint64_t offset, std::size_t* length) {
  const std::size_t rest = got - start;
  const void* end = std::memchr(head_.get(), '\n', head_size_);
  const std::size_t tail = end != nullptr ? At(head_.get(), end) : head_size_;
  // A line longer than a record may be was not in the source loaded; nor
  // was a line that ran past the kept bytes without ending the file.
  if (rest + tail > kCarry ||
      (end == nullptr && offset + got + head_size_ != source_.size))
    return false;
  std::memcpy(joined_.get(), text + start, rest);
  std::memcpy(joined_.get() + rest, head_.get(), tail);
  *length = rest + tail;
  return true;
}

// Where a source read in two halves is cut, a chunk's start near its
// middle; 0 when it is read whole: a small source, or buckets or lines
// counted for no halves.
std::uint64_t Middle(const StreamedSource& source,
                     const BucketHalves& buckets) {
  const std::size_t chunk = ChunkReader::ChunkFor(source.size);
  if (buckets.former() == nullptr || source.size < kHalvesFrom ||
      source.chunk != chunk)
    return 0;
  const std::uint64_t middle = source.size / chunk / 2;
  if (middle >= source.ends_before.size() ||
      source.ends_before[static_cast<std::size_t>(middle)] >= source.records)
    return 0;
  return middle * chunk;
}

// Files the source in one pass, into the later half of `buckets`.
Filed FileWhole(const StreamedSource& source, const std::uint8_t* bucket_of,
                BucketHalves* buckets,
                const std::function<void(std::uint64_t)>& filed) {
  Shared shared;
  FilingPass whole(source, {0, source.size, 0, source.records + 1}, bucket_of,
                   buckets->later(), &shared, &filed, {});
  const Filed done = whole.Run();
  errno = whole.error();
  return done;
}

}  // namespace

Filed FileRecords(const StreamedSource& source, const std::uint8_t* bucket_of,
                  BucketHalves* buckets,
                  const std::function<void(std::uint64_t)>& filed) {
  if (source.size == 0) return Filed::kChanged;
  const std::uint64_t middle = Middle(source, *buckets);
  if (middle == 0) return FileWhole(source, bucket_of, buckets, filed);
  // The former half's last line ends in the later half's first bytes.
  std::string after(static_cast<std::size_t>(
                        std::min<std::uint64_t>(kCarry, source.size - middle)),
                    '\0');
  const std::int64_t got =
      ReadAt(source.file, middle, after.data(), after.size());
  if (got < 0) return Filed::kReadFailed;
  if (got != static_cast<std::int64_t>(after.size())) return Filed::kChanged;
  // The header, and a line after each line end before the middle.
  const std::uint64_t first_later =
      1 + source.ends_before[static_cast<std::size_t>(middle / source.chunk)];
  Shared shared;
  FilingPass later(source,
                   {middle, source.size, first_later, source.records + 1},
                   bucket_of, buckets->later(), &shared, nullptr, {});
  FilingPass former(source, {0, middle, 0, first_later}, bucket_of,
                    buckets->former(), &shared, &filed, after);
  Filed later_done = Filed::kDone;
  SecondThread other(
      [&] {
        try {
          later_done = later.Run();
        } catch (...) {  // memory ran out: the former half stops too
          shared.stop = true;
          throw;
        }
        if (later_done != Filed::kDone) shared.stop = true;
      },
      [&] { shared.stop = true; });
  const Filed former_done = former.Run();
  if (former_done != Filed::kDone) shared.stop = true;
  other.Join();
  if (later_done != Filed::kDone) {
    errno = later.error();
    return later_done;
  }
  if (former_done != Filed::kDone) {
    errno = former.error();
    return former_done;
  }
  // What the former half took of the later one is what the later one
  // checked against its fingerprints.
  return later.head() == after ? Filed::kDone : Filed::kChanged;
}

}  // namespace pixelsets
