#include "pixelsets/buckets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "pixelsets/bucket_plan.h"
#include "pixelsets/platform.h"

namespace pixelsets {
namespace {

// A bucket is sent on to storage every this many bytes.
constexpr std::uint64_t kWritebackBytes = std::uint64_t{512} << 10;

}  // namespace

Closer::~Closer() {
  thread_.reset();  // stopped once it has closed what it was given
  for (std::FILE* file : files_) std::fclose(file);
}

void Closer::Close(std::FILE* file) {
  if (!thread_ || !thread_->started()) {
    thread_.emplace([this] { Run(); }, [this] { Stop(); });
    if (!thread_->started()) {
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

void Closer::Run() {
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

void Closer::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
}

Buckets::Buckets(std::size_t count, std::size_t buffer)
    : buffer_(buffer),
      files_(count),
      buffers_(count),
      space_(count * buffer),
      used_(count, 0),
      bytes_(count, 0),
      writebacks_(count),
      closer_(count) {}

Buckets::~Buckets() {
  for (std::FILE* open : files_) {
    if (open != nullptr) std::fclose(open);
  }
}

bool Buckets::Open(const std::function<std::FILE*()>& scratch) {
  for (std::size_t b = 0; b < files_.size(); ++b) {
    errno = 0;
    files_[b] = scratch ? scratch() : std::tmpfile();
    if (files_[b] == nullptr) return false;
    buffers_[b] = space_.data() + b * buffer_;
  }
  return true;
}

bool Buckets::Flush(std::size_t b) {
  if (!Drain(b)) return false;
  return std::fflush(files_[b]) == 0 || Failed();
}

void Buckets::Release(std::size_t b) {
  closer_.Close(files_[b]);
  files_[b] = nullptr;
}

bool Buckets::Failed() {
  if (failed_ == 0) failed_ = errno != 0 ? errno : EIO;
  // Every buffer full from now on: the next Add of any bucket drains, and
  // fails, rather than taking text that can never be written.
  std::fill(used_.begin(), used_.end(), buffer_);
  errno = failed_;
  return false;
}

bool Buckets::Drain(std::size_t b) {
  if (failed_ != 0) return Failed();
  if (used_[b] > 0 &&
      std::fwrite(buffers_[b], 1, used_[b], files_[b]) != used_[b])
    return Failed();
  bytes_[b] += used_[b];
  used_[b] = 0;
  return bytes_[b] - writebacks_[b].sent() < kWritebackBytes ||
         writebacks_[b].Send(files_[b], bytes_[b], /*forget=*/true) || Failed();
}

bool ReadBucketAt(const BucketFile& bucket, std::uint64_t offset, char* data,
                  std::size_t size) {
  errno = 0;
  for (int i = 0; i < 2 && size > 0; ++i) {
    if (offset >= bucket.sizes[i]) {
      offset -= bucket.sizes[i];
      continue;
    }
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, bucket.sizes[i] - offset));
    if (ReadAt(bucket.files[i], offset, data, want) !=
        static_cast<std::int64_t>(want)) {
      if (errno == 0) errno = EIO;
      return false;
    }
    data += want;
    size -= want;
    offset = 0;
  }
  if (size == 0) return true;
  errno = EIO;  // past the bucket's end
  return false;
}

BucketHalves::BucketHalves(std::size_t count, std::size_t buffer)
    : buffer_(buffer / 2), later_(count, buffer_) {}

bool BucketHalves::Open(const std::function<std::FILE*()>& scratch) {
  if (!later_.Open(scratch)) return false;
  // Where the system gives too few files for as many again, or denies
  // them, the source is filed in one pass.
  if (FilesFree() < later_.count() + kFilesBesideBuckets) return true;
  former_.emplace(later_.count(), buffer_);
  if (!former_->Open(scratch)) former_.reset();
  return true;
}

bool BucketHalves::Flush(std::size_t b) {
  return later_.Flush(b) && (!former_ || former_->Flush(b));
}

BucketFile BucketHalves::file(std::size_t b) const {
  BucketFile file;
  file.files[0] = later_.file(b);
  file.sizes[0] = later_.bytes(b);
  if (former_) {
    file.files[1] = former_->file(b);
    file.sizes[1] = former_->bytes(b);
  }
  return file;
}

void BucketHalves::Release(std::size_t b) {
  later_.Release(b);
  if (former_) former_->Release(b);
}

std::uint64_t BucketHalves::largest() const {
  std::uint64_t most = 0;
  for (std::size_t b = 0; b < count(); ++b)
    most = std::max(most, later_.held(b) + (former_ ? former_->held(b) : 0));
  return most;
}

}  // namespace pixelsets
