#include "pixelsets/chunk_reader.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "pixelsets/storage.h"

namespace pixelsets {
namespace {

// Chunks of two blocks: large enough that system calls are rare, small
// enough that three of them cost less than the single 8 MiB buffer that
// reading on one thread used.
constexpr std::size_t kMostChunk = 2 * kSumBlock;
// Chunks in flight with a reading thread: one handled, one ready, one read.
constexpr std::size_t kAheadSlots = 3;
// Memory the run must have left for a reading thread: its buffers and its
// stack, with room to spare. Below it (a tight limit on the address space)
// the chunks are read on the caller's thread, one at a time.
constexpr std::uint64_t kThreadRoom = std::uint64_t{64} << 20;

}  // namespace

ChunkReader::ChunkReader(std::FILE* file, std::uint64_t limit,
                         std::uint64_t size_hint)
    : file_(file),
      left_(limit),
      chunk_(static_cast<std::size_t>(std::min<std::uint64_t>(
          kMostChunk, (size_hint / kSumBlock + 1) * kSumBlock))) {
  AdviseSequential(file);
  const bool ahead = size_hint > chunk_ && MemoryFree() >= kThreadRoom;
  slots_.resize(ahead ? kAheadSlots : 2);
  for (Slot& slot : slots_) {
    slot.bytes.reset(new char[kCarry + chunk_]);
    // No allocation on the reading thread, where it could not be reported.
    slot.sums.reserve(chunk_ / kSumBlock);
  }
  if (!ahead) return;
  try {
    thread_ = std::thread([this] { ReadAhead(); });
  } catch (const std::system_error&) {
    // No second thread: each chunk is read when it is asked for.
  }
}

ChunkReader::~ChunkReader() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

bool ChunkReader::Fill(Slot* slot) {
  const auto want =
      static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, left_));
  char* data = slot->bytes.get() + kCarry;
  slot->got = std::fread(data, 1, want, file_);
  slot->error = slot->got < want && std::ferror(file_) != 0;
  left_ -= slot->got;
  slot->sums.clear();
  for (std::size_t at = 0; at < slot->got; at += kSumBlock)
    slot->sums.push_back(
        BlockSum(data + at, std::min(kSumBlock, slot->got - at)));
  return slot->got < chunk_;
}

void ChunkReader::ReadAhead() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(
        lock, [this] { return stop_ || filled_ < released_ + slots_.size(); });
    if (stop_) return;
    Slot* slot = &slots_[filled_ % slots_.size()];
    lock.unlock();
    const bool last = Fill(slot);
    lock.lock();
    ++filled_;
    changed_.notify_all();
    if (last) return;
  }
}

char* ChunkReader::Next(const char* carry, std::size_t carry_size,
                        std::size_t* got) {
  Slot* next = &slots_[taken_ % slots_.size()];
  if (thread_.joinable()) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return filled_ > taken_; });
  } else {
    Fill(next);
  }
  char* start = next->bytes.get() + kCarry - carry_size;
  if (carry_size > 0) std::memcpy(start, carry, carry_size);
  ++taken_;
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = taken_ - 1;
    }
    changed_.notify_all();
  }
  *got = next->got;
  return start;
}

}  // namespace pixelsets
