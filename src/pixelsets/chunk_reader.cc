#include "pixelsets/chunk_reader.h"

#include <algorithm>
#include <cstring>

#include "pixelsets/platform.h"

namespace pixelsets {
namespace {

// Chunks of two blocks: large enough that system calls are rare, small
// enough that all of them in flight cost no more than the single 8 MiB
// buffer of a read on one thread.
constexpr std::size_t kMostChunk = 2 * kSumBlock;
// Two reading threads, so that one chunk is read from storage while the
// other is fingerprinted. With one chunk handled, up to two are read or
// ready.
constexpr std::size_t kReaders = 2;
constexpr std::size_t kAheadSlots = 3;
// Memory the run must have left for the reading threads: their buffers and
// stacks, with room to spare. Below it (a tight limit on the address space)
// the chunks are read on the caller's thread, one at a time.
constexpr std::uint64_t kThreadRoom = std::uint64_t{64} << 20;

}  // namespace

std::size_t ChunkReader::ChunkFor(std::uint64_t size_hint) {
  return static_cast<std::size_t>(std::min<std::uint64_t>(
      kMostChunk, (size_hint / kSumBlock + 1) * kSumBlock));
}

ChunkReader::ChunkReader(std::FILE* file, std::uint64_t limit,
                         std::uint64_t size_hint, bool backward,
                         std::uint64_t from)
    : file_(file),
      uncached_(file),
      limit_(limit),
      chunk_(ChunkFor(size_hint)),
      backward_(backward),
      first_(from / chunk_),
      count_(backward ? (limit + chunk_ - 1) / chunk_ - first_ : kNone) {
  AdviseReading(file, backward);
  const bool ahead = size_hint > chunk_ && MemoryFree() >= kThreadRoom;
  slots_.resize(ahead ? kAheadSlots : 1);
  for (Slot& slot : slots_) {
    // A line at a chunk's end may be copied at once, bytes after it too.
    constexpr std::size_t kAlign = UncachedFile::kAlign;
    slot.bytes.reset(new char[kAlign + kCarry + chunk_ + kCopyAtOnce]());
    const auto carry_end =
        reinterpret_cast<std::uintptr_t>(slot.bytes.get()) + kCarry;
    slot.data =
        slot.bytes.get() + kCarry + (kAlign - carry_end % kAlign) % kAlign;
    // No allocation on a reading thread, where it could not be reported.
    slot.sums.reserve(chunk_ / kSumBlock);
  }
  if (!ahead) return;
  // Room first: a vector that grew while a thread ran and then failed would
  // leave that thread unjoined.
  threads_.reserve(kReaders);
  for (std::size_t i = 0; i < kReaders; ++i) {
    auto thread = std::make_unique<SecondThread>([this] { ReadAhead(); },
                                                 [this] { Stop(); });
    if (!thread->started()) break;  // those started share the chunks
    threads_.push_back(std::move(thread));
  }
  if (threads_.empty()) slots_.resize(1);  // each chunk read when asked for
}

ChunkReader::~ChunkReader() = default;  // the threads stop and are joined

void ChunkReader::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
}

bool ChunkReader::Fill(std::uint64_t number, Slot* slot) {
  const std::uint64_t from = Number(number) * chunk_;
  const auto want = static_cast<std::size_t>(
      from >= limit_ ? 0 : std::min<std::uint64_t>(chunk_, limit_ - from));
  char* data = slot->data;
  const std::int64_t got = uncached_.ReadAt(from, data, want);
  slot->error = got < 0;
  slot->got = got < 0 ? 0 : static_cast<std::size_t>(got);
  slot->sums.clear();
  for (std::size_t at = 0; at < slot->got; at += kSumBlock) {
    slot->sums.push_back(
        BlockSum(data + at, std::min(kSumBlock, slot->got - at)));
  }
  // Counted here, on a reading thread, rather than by the caller.
  slot->line_ends = CountLineEnds(data, 0, slot->got);
  if (backward_) return number + 1 == count_ || slot->got < want;
  return slot->got < chunk_;
}

void ChunkReader::ReadAhead() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // A chunk's slot is free once the chunk that held it before, as many
    // chunks back as there are slots, was given back.
    changed_.wait(lock, [this] {
      return stop_ || ended_ || claimed_ < released_ + slots_.size();
    });
    if (stop_ || ended_ || claimed_ == count_) return;
    const std::uint64_t number = claimed_++;
    Slot* slot = &slots_[number % slots_.size()];
    lock.unlock();
    const bool last = Fill(number, slot);
    lock.lock();
    slot->number = number;
    if (last) ended_ = true;
    changed_.notify_all();
  }
}

char* ChunkReader::Next(const char* carry, std::size_t carry_size,
                        std::size_t* got) {
  Slot* next = &slots_[taken_ % slots_.size()];
  if (threads_.empty()) {
    // One slot: the carry is saved before the chunk is read over it.
    if (carry_size > 0)
      std::memmove(next->data - carry_size, carry, carry_size);
    Fill(taken_, next);
  } else {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this, next] { return next->number == taken_; });
    lock.unlock();
    if (carry_size > 0) std::memcpy(next->data - carry_size, carry, carry_size);
  }
  // Read backward, the file is read for the last time: the pages of the
  // chunk given back would only crowd out pages still of use.
  if (backward_ && taken_ > 0) ForgetCached(file_, offset(), chunk_);
  ++taken_;
  if (!threads_.empty()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = taken_ - 1;
    }
    changed_.notify_all();
  }
  *got = next->got;
  return next->data - carry_size;
}

}  // namespace pixelsets
