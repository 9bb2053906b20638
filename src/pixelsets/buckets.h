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
  // start may be read. False with errno set when a write fails.
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
  // of it; false with errno set.
  bool Flush(std::size_t b);
  // Bucket `b`'s file, and how many bytes it holds once flushed.
  std::FILE* file(std::size_t b) const { return files_[b]; }
  std::uint64_t bytes(std::size_t b) const { return bytes_[b]; }
  // Closes bucket `b`'s file, giving its space back, on a thread of its
  // own.
  void Release(std::size_t b);
  // The most any one bucket holds.
  std::uint64_t largest() const;
  std::size_t count() const { return files_.size(); }

 private:
  bool Drain(std::size_t b);

  std::size_t buffer_;
  std::vector<std::FILE*> files_;
  // Each bucket's buffer, in one piece of memory on huge pages.
  std::vector<char*> buffers_;
  LargeVector<char> space_;
  std::vector<std::size_t> used_;
  std::vector<std::uint64_t> bytes_;
  Closer closer_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKETS_H_
