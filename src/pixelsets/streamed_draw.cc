#include "pixelsets/streamed_draw.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "pixelsets/buckets.h"
#include "pixelsets/chunk_reader.h"
#include "pixelsets/draw_positions.h"
#include "pixelsets/fingerprints.h"
#include "pixelsets/messages.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

constexpr std::uint32_t kUndrawn = 0xFFFFFFFF;
// What one bucket holds of drawn records: it is read whole into memory to be
// put in draw order. A sixteenth of the memory left, within these bounds.
constexpr std::size_t kMinBucketBytes = std::size_t{4} << 20;
constexpr std::size_t kMaxBucketBytes = std::size_t{64} << 20;
// Each bucket's write buffer (buckets fill at random, so each needs its
// own): a sixteenth of a bucket, within these bounds.
constexpr std::size_t kMinBucketBuffer = std::size_t{64} << 10;
constexpr std::size_t kMaxBucketBuffer = std::size_t{256} << 10;
// Open files are a limited resource: past this many, buckets grow instead.
constexpr std::size_t kMaxBuckets = 256;

// Counts the records filed and then written, and tells the caller's
// progress now and then: filing is the first half of the work, writing the
// second.
class Progress {
 public:
  Progress(const DrawOptions& options, std::size_t total)
      : options_(options), total_(2 * std::uint64_t{total}) {}
  void Step() {
    if (++done_ % 65536 == 0 && options_.progress)
      options_.progress(done_, total_);
  }

 private:
  const DrawOptions& options_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
};

// Draws the positions on `numbers` (each record's number, in file order at
// first) and returns each drawn record's slot in the draw order, by the
// record's number, so that the source can be read in its own order. The
// slots are noted on a second thread as the positions come: the draw and the
// noting each wait on memory at random, and the second core overlaps the
// two.
LargeVector<std::uint32_t> DrawSlots(LargeVector<std::uint32_t>* numbers,
                                     std::size_t total, const Generator& rand) {
  const std::size_t n = numbers->size();
  const std::uint32_t* cadenas = numbers->data();
  LargeVector<std::uint32_t> slot_of;
  DrawnCount drawn;
  SecondThread noter(
      [&] {
        slot_of.assign(n, kUndrawn);
        for (std::size_t k = 0; k < total;) {
          const std::size_t ready = drawn.WaitPast(k);
          if (ready == DrawnCount::kGivenUp) return;
          for (; k < ready; ++k) {
            if (k + kIndexAhead < ready)
              Prefetch(&slot_of[cadenas[n - 1 - (k + kIndexAhead)]]);
            slot_of[cadenas[n - 1 - k]] = static_cast<std::uint32_t>(k);
          }
        }
      },
      [&] { drawn.GiveUp(); });
  DrawPositions(
      numbers->data(), n, total, rand, [&](std::size_t k) { drawn.Publish(k); },
      [] { return false; });
  noter.Join();
  return slot_of;
}

// Buckets of about the same size, from the records' mean length.
std::unique_ptr<Buckets> MakeBuckets(const StreamedSource& source,
                                     std::size_t total,
                                     const DrawOptions& options) {
  const std::size_t bucket_bytes =
      options.bucket_bytes > 0
          ? options.bucket_bytes
          : static_cast<std::size_t>(std::clamp<std::uint64_t>(
                MemoryFree() / 16, kMinBucketBytes, kMaxBucketBytes));
  const std::uint64_t mean =
      source.size / std::max<std::uint64_t>(source.records, 1);
  const std::uint64_t expected = total * (mean + kEntryHead);
  const auto count = static_cast<std::size_t>(std::clamp<std::uint64_t>(
      (expected + bucket_bytes - 1) / bucket_bytes, 1, kMaxBuckets));
  // Offsets in a bucket are 4 bytes: more than 4 GiB of drawn records in
  // each of kMaxBuckets buckets would be a source of over a terabyte.
  const std::size_t per_bucket =
      std::max<std::size_t>((total + count - 1) / count, 1);
  return std::make_unique<Buckets>(
      count, per_bucket,
      std::clamp(bucket_bytes / 16, kMinBucketBuffer, kMaxBucketBuffer));
}

enum class Filed { kDone, kChanged, kReadFailed, kWriteFailed };

// Where `found`, a pointer into `text`, lies in it.
std::size_t At(const char* text, const void* found) {
  return static_cast<std::size_t>(static_cast<const char*>(found) - text);
}

// The second read of the source: each block is checked against the
// fingerprint taken when it was loaded before anything of it is used, and
// each drawn record is filed in the bucket of its slot. The chunks come from
// the end of the file backwards: what the system still holds of the source
// after the load is its end, and read first it costs no disk read.
class FilingPass {
 public:
  FilingPass(const StreamedSource& source, const std::uint32_t* slot_of,
             Buckets* buckets, Progress* progress)
      : source_(source),
        slot_of_(slot_of),
        buckets_(buckets),
        progress_(progress),
        lines_(source.records + 1),
        head_(new char[kCarry]),
        joined_(new char[2 * kCarry]) {}

  Filed Run();

 private:
  static constexpr std::size_t kCarry = ChunkReader::kCarry;

  // Whether the chunk that starts at `offset` is whole and as loaded.
  Filed Check(const ChunkReader& reader, std::size_t got) const;
  // Files the records of the lines that start in the chunk: those after
  // each of its line ends (but the file's last byte), and in the first
  // chunk the header too.
  Filed TakeChunk(const char* text, std::size_t got, std::uint64_t offset,
                  std::uint64_t owned);
  // The last line of a chunk, which runs on into the chunk after, whose
  // first bytes were kept. False when it cannot be what was loaded.
  bool Join(const char* text, std::size_t start, std::size_t got,
            std::uint64_t offset, std::size_t* length);
  // Files the record of line `line_` (text[start, end), its "\n"
  // excluded) if it was drawn. False only when a write fails.
  bool Take(const char* text, std::size_t start, std::size_t end) {
    if (line_ > 0 && slot_of_[line_ - 1] != kUndrawn) {
      if (!buckets_->Add(slot_of_[line_ - 1],
                         RecordOf({text + start, end - start})))
        return false;
      progress_->Step();
    }
    ++line_;
    return true;
  }

  const StreamedSource& source_;
  const std::uint32_t* slot_of_;
  Buckets* buckets_;
  Progress* progress_;
  std::uint64_t lines_;      // the header and the records
  std::uint64_t after_ = 0;  // lines that start in the chunks already read
  std::uint64_t line_ = 0;   // the header is line 0
  // The first bytes of the chunk after the one in hand, where its last line
  // ends; and that line put together.
  std::unique_ptr<char[]> head_;
  std::size_t head_size_ = 0;
  std::unique_ptr<char[]> joined_;
};

Filed FilingPass::Run() {
  if (source_.size == 0) return Filed::kChanged;
  ChunkReader reader(source_.file, source_.size, source_.size,
                     /*backward=*/true);
  for (;;) {
    std::size_t got;
    const char* text = reader.Next(nullptr, 0, &got);
    const std::uint64_t offset = reader.offset();
    if (const Filed checked = Check(reader, got); checked != Filed::kDone)
      return checked;
    const bool ends_file = offset + got == source_.size;
    const std::uint64_t owned = reader.line_ends() + (offset == 0 ? 1 : 0) -
                                (ends_file && text[got - 1] == '\n' ? 1 : 0);
    if (owned > lines_ - after_) return Filed::kChanged;
    if (const Filed taken = TakeChunk(text, got, offset, owned);
        taken != Filed::kDone)
      return taken;
    after_ += owned;
    if (offset == 0) break;
    head_size_ = std::min<std::size_t>(kCarry, got);
    std::memcpy(head_.get(), text, head_size_);
  }
  return after_ == lines_ ? Filed::kDone : Filed::kChanged;
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
  const auto first = static_cast<std::size_t>(first_block);  // in range
  const bool same =
      std::equal(sums.begin(), sums.end(),
                 source_.sums.begin() + static_cast<std::ptrdiff_t>(first));
  return same ? Filed::kDone : Filed::kChanged;
}

Filed FilingPass::TakeChunk(const char* text, std::size_t got,
                            std::uint64_t offset, std::uint64_t owned) {
  const bool ends_file = offset + got == source_.size;
  line_ = lines_ - after_ - owned;
  std::size_t start = 0;
  if (offset > 0 && owned > 0)
    start = At(text, std::memchr(text, '\n', got)) + 1;
  for (std::uint64_t k = 0; k < owned; ++k) {
    const void* nl = std::memchr(text + start, '\n', got - start);
    if (nl != nullptr) {
      const std::size_t end = At(text, nl);
      if (!Take(text, start, end)) return Filed::kWriteFailed;
      start = end + 1;
    } else if (ends_file) {
      // The last line runs to the end of the file.
      if (!Take(text, start, got)) return Filed::kWriteFailed;
      break;
    } else {
      std::size_t length;
      if (!Join(text, start, got, offset, &length)) return Filed::kChanged;
      if (!Take(joined_.get(), 0, length)) return Filed::kWriteFailed;
    }
  }
  return line_ == lines_ - after_ ? Filed::kDone : Filed::kChanged;
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

// Reads each bucket back, puts its records in draw order and writes them
// into the set files.
bool WriteBuckets(Buckets* buckets, const DrawCounts& counts, SetWriters* out,
                  Progress* progress, std::string* err) {
  const std::size_t total = counts.total();
  const std::size_t per_bucket = buckets->per_bucket();
  // One allocation for every bucket: memory stays at the largest.
  LargeVector<char> data;
  data.reserve(static_cast<std::size_t>(buckets->largest()));
  // Where each slot's record starts in the bucket.
  std::vector<std::uint32_t> order;
  constexpr std::uint32_t kMissing = 0xFFFFFFFF;
  for (std::size_t b = 0; b < buckets->count(); ++b) {
    if (!buckets->Take(b, &data)) {
      *err = SetFileError(out->names.entrenamiento.name, errno);
      return false;
    }
    const std::size_t first = b * per_bucket;
    const std::size_t slots =
        first >= total ? 0 : std::min(per_bucket, total - first);
    order.assign(slots, kMissing);
    for (std::size_t at = 0; at + kEntryHead <= data.size();) {
      std::uint32_t slot;
      std::uint16_t length;
      std::memcpy(&slot, data.data() + at, 4);
      std::memcpy(&length, data.data() + at + 4, 2);
      if (slot < first || slot - first >= slots) {
        *err = kSourceChanged;
        return false;
      }
      order[slot - first] = static_cast<std::uint32_t>(at);
      at += kEntryHead + length;
    }
    for (std::size_t i = 0; i < slots; ++i) {
      // A bucket is far larger than the caches and its records are met at
      // random: without fetching ahead each one waits for memory.
      if (i + kIndexAhead < slots && order[i + kIndexAhead] != kMissing) {
        const char* ahead = data.data() + order[i + kIndexAhead];
        Prefetch(ahead);
        Prefetch(ahead + 64);  // most records run into a second cache line
      }
      if (order[i] == kMissing) {
        *err = kSourceChanged;
        return false;
      }
      std::uint16_t length;
      std::memcpy(&length, data.data() + order[i] + 4, 2);
      const std::string_view record(data.data() + order[i] + kEntryHead,
                                    length);
      if (!out->For(first + i, counts)->Line(record)) {
        *err = SetFileError(out->NameFor(first + i, counts), errno);
        return false;
      }
      progress->Step();
    }
  }
  return out->Finish(err);
}

}  // namespace

bool StreamedDraw(const StreamedSource& source, const DrawCounts& counts,
                  const Generator& rand, SetWriters* out,
                  const DrawOptions& options, std::string* err) {
  const std::size_t total = counts.total();
  LargeVector<std::uint32_t> numbers(static_cast<std::size_t>(source.records));
  for (std::size_t i = 0; i < numbers.size(); ++i)
    numbers[i] = static_cast<std::uint32_t>(i);
  LargeVector<std::uint32_t> slot_of = DrawSlots(&numbers, total, rand);
  // What the draw no longer needs is given back while the file is read
  // again: on a machine short of memory it holds the buckets' pages instead.
  numbers = {};

  std::unique_ptr<Buckets> buckets = MakeBuckets(source, total, options);
  if (!buckets->Open(options.scratch)) {
    *err = SetFileError(out->names.entrenamiento.name, errno);
    return false;
  }
  Progress progress(options, total);
  switch (FilingPass(source, slot_of.data(), buckets.get(), &progress).Run()) {
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
  slot_of = {};
  return WriteBuckets(buckets.get(), counts, out, &progress, err);
}

}  // namespace pixelsets
