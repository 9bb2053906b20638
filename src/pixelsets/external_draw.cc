#include "pixelsets/external_draw.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "pixelsets/chunk_reader.h"
#include "pixelsets/source_sums.h"
#include "pixelsets/storage.h"

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
// Each record in a bucket: its slot in the draw, its length, its text.
constexpr std::size_t kEntryHead = 4 + 2;

// Closes files on a thread of its own. Closing a bucket frees its space, and
// where the file system hands freed space back to the disk at once (a
// "discard" mount) the close waits on the disk, a second or more for a large
// bucket, while the sets could be written.
class Closer {
 public:
  explicit Closer(std::size_t most) { files_.reserve(most); }
  ~Closer() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    for (std::FILE* file : files_) std::fclose(file);
  }
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

  // Closes `file` soon, or now where no thread can be had. At most `most`
  // files, the number given at construction.
  void Close(std::FILE* file) {
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        std::fclose(file);
        return;
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      files_.push_back(file);
    }
    changed_.notify_all();
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || !files_.empty(); });
      if (files_.empty()) return;
      std::FILE* file = files_.back();
      files_.pop_back();
      lock.unlock();
      std::fclose(file);
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::FILE*> files_;
  bool stop_ = false;
  std::thread thread_;
};

// Buckets on disk, each for a run of `per_bucket` slots of the draw order.
class Buckets {
 public:
  Buckets(std::size_t count, std::size_t per_bucket, std::size_t buffer)
      : per_bucket_(per_bucket),
        buffer_(buffer),
        files_(count),
        buffers_(count),
        space_(count * buffer),
        used_(count, 0),
        bytes_(count, 0),
        closer_(count) {}
  ~Buckets() {
    for (std::FILE* file : files_) {
      if (file != nullptr) std::fclose(file);
    }
  }
  Buckets(const Buckets&) = delete;
  Buckets& operator=(const Buckets&) = delete;

  // Opens every bucket; false with errno set.
  bool Open(const DrawOptions& options) {
    for (std::size_t b = 0; b < files_.size(); ++b) {
      errno = 0;
      files_[b] = options.scratch ? options.scratch() : std::tmpfile();
      if (files_[b] == nullptr) return false;
      buffers_[b] = space_.data() + b * buffer_;
    }
    return true;
  }

  // Files the record of draw slot `slot`; false with errno set when a
  // write fails.
  bool Add(std::uint32_t slot, std::string_view text) {
    const std::size_t b = slot / per_bucket_;
    if (buffer_ - used_[b] < kEntryHead + text.size() && !Drain(b))
      return false;
    char* at = buffers_[b] + used_[b];
    const auto length = static_cast<std::uint16_t>(text.size());
    std::memcpy(at, &slot, 4);
    std::memcpy(at + 4, &length, 2);
    std::memcpy(at + kEntryHead, text.data(), text.size());
    used_[b] += kEntryHead + text.size();
    return true;
  }

  // Everything bucket `b` holds, read back into `*data`; the bucket's file
  // is closed, and its space given back, on a thread of its own. False with
  // errno set.
  bool Take(std::size_t b, std::vector<char, LargeAllocator<char>>* data) {
    if (!Drain(b) || std::fflush(files_[b]) != 0) return false;
    data->resize(static_cast<std::size_t>(bytes_[b]));
    std::rewind(files_[b]);
    errno = 0;
    const bool read =
        std::fread(data->data(), 1, data->size(), files_[b]) == data->size();
    const int error = read ? 0 : errno != 0 ? errno : EIO;
    closer_.Close(files_[b]);
    files_[b] = nullptr;
    errno = error;
    return read;
  }

  // The most any one bucket holds.
  std::uint64_t largest() const {
    std::uint64_t most = 0;
    for (std::size_t b = 0; b < files_.size(); ++b)
      most = std::max(most, bytes_[b] + used_[b]);
    return most;
  }
  std::size_t per_bucket() const { return per_bucket_; }

 private:
  bool Drain(std::size_t b) {
    if (used_[b] > 0 &&
        std::fwrite(buffers_[b], 1, used_[b], files_[b]) != used_[b])
      return false;
    bytes_[b] += used_[b];
    used_[b] = 0;
    return true;
  }

  std::size_t per_bucket_;
  std::size_t buffer_;
  std::vector<std::FILE*> files_;
  // Each bucket's buffer, in one piece of memory on huge pages.
  std::vector<char*> buffers_;
  std::vector<char, LargeAllocator<char>> space_;
  std::vector<std::size_t> used_;
  std::vector<std::uint64_t> bytes_;
  Closer closer_;
};

enum class Filed { kDone, kChanged, kReadFailed, kWriteFailed };

// Where `found`, a pointer into `text`, lies in it.
std::size_t At(const char* text, const void* found) {
  return static_cast<std::size_t>(static_cast<const char*>(found) - text);
}

// Reads the source again, checks each block against the fingerprint taken
// when it was loaded before anything of it is used, and files each drawn
// record in the bucket of its slot, calling `filed()` for each. The chunks
// come from the end of the file backwards: what the system still holds of
// the source after the load is its end, and read first it costs no disk read.
template <class OnFiled>
Filed FileRecords(const Pool& pool, std::size_t n, const std::uint32_t* slot_of,
                  Buckets* buckets, OnFiled filed) {
  const std::uint64_t size = pool.source_size;
  const std::uint64_t lines = std::uint64_t{n} + 1;  // the header and records
  if (size == 0) return Filed::kChanged;
  ChunkReader reader(pool.source, size, size, /*backward=*/true);
  constexpr std::size_t kCarry = ChunkReader::kCarry;
  // The first bytes of the chunk after the one in hand, where its last line
  // ends; and that line put together.
  std::unique_ptr<char[]> head(new char[kCarry]);
  std::size_t head_size = 0;
  std::unique_ptr<char[]> joined(new char[2 * kCarry]);
  std::uint64_t after = 0;  // lines that start in the chunks already read
  std::uint64_t line = 0;   // the header is line 0
  // Files the record of line `line` (text[start, end), its "\n" excluded),
  // as the in-memory draw reads it (Pool::RecordAt): less a "\r" that ends
  // it, and cut at a zero byte. False only when a write fails.
  const auto take = [&](const char* text, std::size_t start, std::size_t end) {
    if (line > 0 && slot_of[line - 1] != kUndrawn) {
      if (end > start && text[end - 1] == '\r') --end;
      if (const void* zero = std::memchr(text + start, '\0', end - start))
        end = At(text, zero);
      if (!buckets->Add(slot_of[line - 1], {text + start, end - start}))
        return false;
      filed();
    }
    ++line;
    return true;
  };
  for (;;) {
    std::size_t got;
    const char* text = reader.Next(nullptr, 0, &got);
    const std::uint64_t offset = reader.offset();
    // Nothing of a block is used before it is known to be as loaded.
    const std::uint64_t want =
        std::min<std::uint64_t>(reader.chunk(), size - offset);
    const std::uint64_t first_block = offset / kSumBlock;
    // A failing disk is no change of the source, and is told as what it is.
    if (reader.failed()) return Filed::kReadFailed;
    if (got != want || first_block + reader.sums().size() > pool.sums.size() ||
        (offset + got == size &&
         first_block + reader.sums().size() != pool.sums.size()))
      return Filed::kChanged;
    const auto first = static_cast<std::size_t>(first_block);  // in range
    for (std::size_t b = 0; b < reader.sums().size(); ++b) {
      if (reader.sums()[b] != pool.sums[first + b]) return Filed::kChanged;
    }
    // A chunk holds the lines that start after each of its line ends (but
    // the file's last byte), and the first chunk the header too.
    const bool ends_file = offset + got == size;
    const std::uint64_t owned = reader.line_ends() + (offset == 0 ? 1 : 0) -
                                (ends_file && text[got - 1] == '\n' ? 1 : 0);
    if (owned > lines - after) return Filed::kChanged;
    line = lines - after - owned;
    std::size_t start = 0;
    if (offset > 0 && owned > 0) {
      start = At(text, std::memchr(text, '\n', got)) + 1;
    }
    for (std::uint64_t k = 0; k < owned; ++k) {
      const void* nl = std::memchr(text + start, '\n', got - start);
      if (nl != nullptr) {
        const std::size_t end = At(text, nl);
        if (!take(text, start, end)) return Filed::kWriteFailed;
        start = end + 1;
        continue;
      }
      // The last line runs to the end of the file, or on into the chunk
      // after, whose first bytes were kept.
      std::size_t rest = got - start;
      if (ends_file) {
        if (!take(text, start, got)) return Filed::kWriteFailed;
        break;
      }
      const void* end = std::memchr(head.get(), '\n', head_size);
      const std::size_t tail = end != nullptr ? At(head.get(), end) : head_size;
      // A line longer than a record may be was not in the source loaded;
      // nor was a line that ran past the kept bytes without ending the file.
      if (rest + tail > kCarry ||
          (end == nullptr && offset + got + head_size != size))
        return Filed::kChanged;
      std::memcpy(joined.get(), text + start, rest);
      std::memcpy(joined.get() + rest, head.get(), tail);
      rest += tail;
      if (!take(joined.get(), 0, rest)) return Filed::kWriteFailed;
    }
    if (line != lines - after) return Filed::kChanged;
    after += owned;
    if (offset == 0) break;
    head_size = std::min<std::size_t>(kCarry, got);
    std::memcpy(head.get(), text, head_size);
  }
  return after == lines ? Filed::kDone : Filed::kChanged;
}

}  // namespace

bool ExternalDraw(Pool* pool, std::size_t n_entr, std::size_t n_test,
                  const Generator& rand, BlockWriter* entr, BlockWriter* test,
                  const SetStream& e, const SetStream& t,
                  const DrawOptions& options, std::string* err) {
  const std::size_t n = pool->size();
  const std::size_t total = n_entr + n_test;
  std::uint32_t* cadenas = pool->cadenas.data();

  // Each drawn record's slot in the draw order, by the record's number, so
  // that the source can be read in its own order. Noted on a thread of its
  // own as the positions come: the draw and the noting each wait on memory
  // at random, and the second core overlaps the two.
  std::vector<std::uint32_t, LargeAllocator<std::uint32_t>> slot_of;
  DrawnCount drawn;
  bool out_of_memory = false;
  const auto note = [&] {
    try {
      slot_of.assign(n, kUndrawn);
    } catch (const std::bad_alloc&) {
      out_of_memory = true;
      return;
    }
    for (std::size_t k = 0; k < total;) {
      const std::size_t ready = drawn.WaitPast(k);
      if (ready == DrawnCount::kGivenUp) return;
      for (; k < ready; ++k) {
        if (k + kIndexAhead < ready)
          Prefetch(&slot_of[cadenas[n - 1 - (k + kIndexAhead)]]);
        slot_of[cadenas[n - 1 - k]] = static_cast<std::uint32_t>(k);
      }
    }
  };
  std::thread noter;
  try {
    noter = std::thread(note);
  } catch (const std::system_error&) {
    // No second thread: the noting follows the draw on this one.
  }
  try {
    DrawPositions(
        cadenas, n, total, rand, [&](std::size_t k) { drawn.Publish(k); },
        [] { return false; });
  } catch (...) {
    drawn.GiveUp();
    if (noter.joinable()) noter.join();
    throw;
  }
  if (noter.joinable()) {
    noter.join();
  } else {
    note();
  }
  if (out_of_memory) throw std::bad_alloc();
  pool->cadenas.resize(n - total);
  // What the draw no longer needs is given back while the file is read
  // again: on a machine short of memory it holds the buckets' pages instead.
  // Only when little is left, so that the copy costs little and the moment
  // with both arrays stays small.
  if (pool->cadenas.size() <= pool->cadenas.capacity() / 4)
    pool->cadenas.shrink_to_fit();

  // Buckets of about the same size, from the records' mean length.
  const std::size_t bucket_bytes =
      options.bucket_bytes > 0
          ? options.bucket_bytes
          : static_cast<std::size_t>(std::clamp<std::uint64_t>(
                MemoryFree() / 16, kMinBucketBytes, kMaxBucketBytes));
  const std::uint64_t mean = pool->source_size / std::max<std::size_t>(n, 1);
  const std::uint64_t expected = total * (mean + kEntryHead);
  const std::size_t count = static_cast<std::size_t>(std::clamp<std::uint64_t>(
      (expected + bucket_bytes - 1) / bucket_bytes, 1, kMaxBuckets));
  // Offsets in a bucket are 4 bytes: more than 4 GiB of drawn records in
  // each of kMaxBuckets buckets would be a source of over a terabyte.
  const std::size_t per_bucket =
      std::max<std::size_t>((total + count - 1) / count, 1);
  Buckets buckets(
      count, per_bucket,
      std::clamp(bucket_bytes / 16, kMinBucketBuffer, kMaxBucketBuffer));
  if (!buckets.Open(options)) {
    *err = SetFileError(e.name, errno);
    return false;
  }

  // Progress: filing the records is the first half of the work, writing
  // them out the second.
  std::uint64_t done = 0;
  const auto step = [&] {
    if (++done % 65536 == 0 && options.progress)
      options.progress(done, 2 * std::uint64_t{total});
  };
  switch (FileRecords(*pool, n, slot_of.data(), &buckets, step)) {
    case Filed::kDone:
      break;
    case Filed::kChanged:
      *err = kSourceChanged;
      return false;
    case Filed::kReadFailed:
      *err = kReadError;
      return false;
    case Filed::kWriteFailed:
      *err = SetFileError(e.name, errno);
      return false;
  }
  slot_of = {};

  // One allocation for every bucket: memory stays at the largest.
  std::vector<char, LargeAllocator<char>> data;
  data.reserve(static_cast<std::size_t>(buckets.largest()));
  // Where each slot's record starts in the bucket.
  std::vector<std::uint32_t> order;
  for (std::size_t b = 0; b < count; ++b) {
    if (!buckets.Take(b, &data)) {
      *err = SetFileError(e.name, errno);
      return false;
    }
    const std::size_t first = b * per_bucket;
    const std::size_t slots =
        first >= total ? 0 : std::min(per_bucket, total - first);
    constexpr std::uint32_t kMissing = 0xFFFFFFFF;
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
      const bool training = first + i < n_entr;
      if (!(training ? entr : test)->Line(record)) {
        *err = SetFileError(training ? e.name : t.name, errno);
        return false;
      }
      step();
    }
  }
  if (!entr->Finish()) {
    *err = SetFileError(e.name, errno);
    return false;
  }
  if (!test->Finish()) {
    *err = SetFileError(t.name, errno);
    return false;
  }
  return true;
}

}  // namespace pixelsets
