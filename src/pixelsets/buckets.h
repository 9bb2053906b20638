// The buckets of the draw from a streamed source: files that take the drawn
// records as the source is read in its own order, each for a run of draw
// slots, and give them back one bucket at a time. A bucket holds its records
// as they came, each ended by a line end, and nothing else: the draw itself
// says which record is which (see streamed_draw.cc).

#ifndef PARTICION_SRC_PIXELSETS_BUCKETS_H_
#define PARTICION_SRC_PIXELSETS_BUCKETS_H_

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "pixelsets/platform.h"
#include "pixelsets/record.h"
#include "pixelsets/second_thread.h"
#include "pixelsets/writeback.h"

namespace pixelsets {

// Closes files on a thread of its own. Closing a bucket frees its space, and
// where the file system hands freed space back to the disk at once (a
// "discard" mount) the close waits on the disk, a second or more for a large
// bucket, while the sets could be written.
class Closer {
 public:
  explicit Closer(std::size_t most) { files_.reserve(most); }
  ~Closer();
  Closer(const Closer&) = delete;
  Closer& operator=(const Closer&) = delete;

  // Closes `file` soon, or now where no thread can be had. At most `most`
  // files, the number given at construction.
  void Close(std::FILE* file);

 private:
  void Run();
  void Stop();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::FILE*> files_;
  bool stop_ = false;
  std::optional<SecondThread> thread_;
};

// `count` buckets on disk, each written through a buffer of `buffer` bytes.
// What they send on to storage leaves the system's cache: together they are
// as large as the source, larger than memory, and new pages of cache cost
// far more than pages it gave back a moment ago (on a virtual machine, the
// host's work for each).
class Buckets {
 public:
  Buckets(std::size_t count, std::size_t buffer);
  ~Buckets();
  Buckets(const Buckets&) = delete;
  Buckets& operator=(const Buckets&) = delete;

  // Opens every bucket with `scratch` (std::tmpfile where empty); false with
  // errno set.
  bool Open(const std::function<std::FILE*()>& scratch);

  // Files `text`, a record, in bucket `b`; kCopyAtOnce bytes from its
  // start may be read. False with errno set when a write fails, now or
  // before: a buffer whose write failed may be partly on disk already, so
  // it is never written again.
  bool Add(std::size_t b, std::string_view text) {
    if (buffer_ - used_[b] < std::max(text.size() + 1, kCopyAtOnce) &&
        !Drain(b))
      return false;
    char* at = buffers_[b] + used_[b];
    CopyAtOnce(at, text.data(), text.size());
    at[text.size()] = '\n';
    used_[b] += text.size() + 1;
    return true;
  }

  // Writes out what bucket `b` still buffers, so that its file holds all
  // of it; false with errno set, as Add.
  bool Flush(std::size_t b);
  // Bucket `b`'s file, and how many bytes it holds once flushed.
  std::FILE* file(std::size_t b) const { return files_[b]; }
  std::uint64_t bytes(std::size_t b) const { return bytes_[b]; }
  // The bytes bucket `b` holds, flushed or not.
  std::uint64_t held(std::size_t b) const { return bytes_[b] + used_[b]; }
  // Closes bucket `b`'s file, giving its space back, on a thread of its
  // own.
  void Release(std::size_t b);
  std::size_t count() const { return files_.size(); }

 private:
  bool Drain(std::size_t b);
  // Notes the first failed write (its errno) and returns false; every call
  // after it fails with that errno.
  bool Failed();

  std::size_t buffer_;
  int failed_ = 0;
  std::vector<std::FILE*> files_;
  // Each bucket's buffer, in one piece of memory on huge pages.
  std::vector<char*> buffers_;
  LargeVector<char> space_;
  std::vector<std::size_t> used_;
  std::vector<std::uint64_t> bytes_;
  std::vector<Writeback> writebacks_;
  Closer closer_;
};

// A bucket's bytes, in one file or two read as one.
struct BucketFile {
  std::FILE* files[2] = {nullptr, nullptr};
  std::uint64_t sizes[2] = {0, 0};
  std::uint64_t size() const { return sizes[0] + sizes[1]; }
};

// Reads `size` bytes of `bucket` from byte `offset`; false with errno set
// (EIO for a bucket that ends before them).
bool ReadBucketAt(const BucketFile& bucket, std::uint64_t offset, char* data,
                  std::size_t size);

// A round's buckets in two halves, where files for both can be had: the
// records of the source's later half are filed into one while those of its
// former half are filed into the other, each on a core of its own. A bucket
// is its later half, then its former half.
class BucketHalves {
 public:
  // `count` buckets, both halves of each buffered in `buffer` bytes.
  BucketHalves(std::size_t count, std::size_t buffer);

  // Opens the later half, then the former where the system gives a
  // program files enough; false with errno set when the later cannot be.
  bool Open(const std::function<std::FILE*()>& scratch);
  Buckets* later() { return &later_; }
  // Null where the former half could not be opened.
  Buckets* former() { return former_ ? &*former_ : nullptr; }
  const Buckets* former() const { return former_ ? &*former_ : nullptr; }

  // Writes out what bucket `b` still buffers, in both halves; false with
  // errno set.
  bool Flush(std::size_t b);
  // Bucket `b`, once flushed.
  BucketFile file(std::size_t b) const;
  // Closes bucket `b`'s files, as Buckets::Release.
  void Release(std::size_t b);
  // The most any one bucket holds.
  std::uint64_t largest() const;
  std::size_t count() const { return later_.count(); }

 private:
  std::size_t buffer_;
  Buckets later_;
  std::optional<Buckets> former_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKETS_H_
