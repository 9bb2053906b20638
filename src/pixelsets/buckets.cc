#include "pixelsets/buckets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pixelsets {

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
  return Drain(b) && std::fflush(files_[b]) == 0;
}

void Buckets::Release(std::size_t b) {
  closer_.Close(files_[b]);
  files_[b] = nullptr;
}

std::uint64_t Buckets::largest() const {
  std::uint64_t most = 0;
  for (std::size_t b = 0; b < files_.size(); ++b)
    most = std::max(most, bytes_[b] + used_[b]);
  return most;
}

bool Buckets::Drain(std::size_t b) {
  if (used_[b] > 0 &&
      std::fwrite(buffers_[b], 1, used_[b], files_[b]) != used_[b])
    return false;
  bytes_[b] += used_[b];
  used_[b] = 0;
  return true;
}

}  // namespace pixelsets
