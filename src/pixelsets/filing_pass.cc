#include "pixelsets/filing_pass.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "pixelsets/chunk_reader.h"
#include "pixelsets/fingerprints.h"
#include "pixelsets/record.h"

namespace pixelsets {
namespace {

// Where `found`, a pointer into `text`, lies in it.
std::size_t At(const char* text, const void* found) {
  return static_cast<std::size_t>(static_cast<const char*>(found) - text);
}

class FilingPass {
 public:
  FilingPass(const StreamedSource& source, const std::uint8_t* bucket_of,
             Buckets* buckets, const std::function<void(std::uint64_t)>& filed)
      : source_(source),
        bucket_of_(bucket_of),
        buckets_(buckets),
        filed_(filed),
        lines_(source.records + 1),
        head_(new char[kCarry]),
        joined_(new char[2 * kCarry]) {}

  Filed Run();

 private:
  static constexpr std::size_t kCarry = ChunkReader::kCarry;

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
  // Finds where the `owned` lines that start in the chunk start.
  void FindStarts(const char* text, std::size_t got, std::uint64_t offset,
                  std::uint64_t owned);
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
    if (!buckets_->Add(bucket, record)) return false;
    if (++count_ % 65536 == 0 && filed_) filed_(count_);
    return true;
  }

  const StreamedSource& source_;
  const std::uint8_t* bucket_of_;
  Buckets* buckets_;
  const std::function<void(std::uint64_t)>& filed_;
  std::uint64_t lines_;      // the header and the records
  std::uint64_t after_ = 0;  // lines that start in the chunks already read
  std::uint64_t count_ = 0;  // records filed
  // Where each line of the chunk in hand starts.
  std::unique_ptr<std::uint32_t[]> starts_;
  std::size_t starts_room_ = 0;
  std::size_t starts_count_ = 0;
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
  const auto first = static_cast<std::ptrdiff_t>(first_block);  // in range
  return std::equal(sums.begin(), sums.end(), source_.sums.begin() + first)
             ? Filed::kDone
             : Filed::kChanged;
}

void FilingPass::FindStarts(const char* text, std::size_t got,
                            std::uint64_t offset, std::uint64_t owned_lines) {
  // The lines of a chunk: at most one a byte of it, and the header.
  const auto owned =
      static_cast<std::size_t>(std::min<std::uint64_t>(owned_lines, got + 1));
  if (owned + 1 > starts_room_) {
    starts_.reset(new std::uint32_t[owned + 1]);
    starts_room_ = owned + 1;
  }
  std::uint32_t* out = starts_.get();
  if (offset == 0) *out++ = 0;  // the header
  std::uint32_t* const last = starts_.get() + owned;
  ForEachLineEnd(text, 0, got, [&](std::size_t i) {
    if (out == last) return false;
    *out++ = static_cast<std::uint32_t>(i + 1);  // a chunk is small
    return true;
  });
  starts_count_ = static_cast<std::size_t>(out - starts_.get());
}

Filed FilingPass::TakeChunk(const char* text, std::size_t got,
                            std::uint64_t offset, std::uint64_t owned) {
  FindStarts(text, got, offset, owned);
  if (starts_count_ < owned) return Filed::kChanged;
  const bool zeros = std::memchr(text, '\0', got) != nullptr;
  const std::uint32_t* starts = starts_.get();
  // From the last line back, so that the records come in descending number.
  const std::uint64_t first = lines_ - after_ - owned;
  for (std::size_t k = starts_count_; k-- > 0;) {
    const char* line = text + starts[k];
    std::size_t length;
    bool may_hold_zero = zeros;
    if (k + 1 < starts_count_) {
      length = starts[k + 1] - 1 - starts[k];
    } else if (offset + got == source_.size) {
      // The last line of the file, with no line end or with one that is
      // the file's last byte.
      length = got - starts[k] - (text[got - 1] == '\n' ? 1 : 0);
    } else if (Join(text, starts[k], got, offset, &length)) {
      line = joined_.get();
      may_hold_zero = true;
    } else {
      return Filed::kChanged;
    }
    if (!Take(first + k, line, length, may_hold_zero))
      return Filed::kWriteFailed;
  }
  return Filed::kDone;
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

}  // namespace

Filed FileRecords(const StreamedSource& source, const std::uint8_t* bucket_of,
                  Buckets* buckets,
                  const std::function<void(std::uint64_t)>& filed) {
  return FilingPass(source, bucket_of, buckets, filed).Run();
}

}  // namespace pixelsets
