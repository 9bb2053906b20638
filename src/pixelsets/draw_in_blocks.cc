#include "pixelsets/draw_in_blocks.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "pixelsets/draw_positions.h"
#include "pixelsets/prefetch.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {
namespace {

// A block's positions are sorted by bins of this many entries of the
// array, 512 KiB of it: a bin's entries are met together.
constexpr int kBinBits = 17;
// How far ahead to fetch an entry of the array while a block is applied.
constexpr std::size_t kAhead = 32;
// A draw whose position lies in the block's tail.
constexpr std::uint32_t kInTail = 0xFFFFFFFF;

// A block of draws, worked out from the generator alone. Its tail is the
// last `count` records left before it, where the draws stack up; a draw's
// position either lies below the tail, and the record there moves into the
// tail while a record of the tail's first values moves to the position, or
// lies in the tail, and records of the tail only trade places.
struct Block {
  explicit Block(std::size_t size)
      : position(new std::uint32_t[size]), move(new std::uint64_t[size]) {}

  std::size_t first = 0;  // draws [first, first + count)
  std::size_t count = 0;
  std::size_t left = 0;  // records left before the block
  // The draws below the tail, sorted by the bin of their position and in
  // draw order within a bin: the position, and (the draw << 32 | the tail
  // slot whose first value goes there). Then, from the end, the draws in the
  // tail: (the draw << 32 | the tail slot whose first value is drawn).
  std::unique_ptr<std::uint32_t[]> position;
  std::unique_ptr<std::uint64_t[]> move;
  std::size_t moves = 0;
};

// What working out a block takes beyond the block itself, kept from block
// to block.
struct Scratch {
  explicit Scratch(std::size_t size)
      : values(new int[size]), slot(new std::uint32_t[size]) {}
  std::unique_ptr<int[]> values;  // the generator's, then the positions
  std::unique_ptr<std::uint32_t[]> slot;
  std::vector<std::uint32_t> bins;
};

// Works out the block of draws [first, first + count) of an array with
// `left` records left, from the generator.
void Prepare(std::size_t first, std::size_t count, std::size_t left,
             const Generator& rand, Scratch* scratch, Block* block) {
  block->first = first;
  block->count = count;
  block->left = left;
  int* values = scratch->values.get();
  // The positions take the place of the values they come from: unsigned,
  // they may alias them.
  auto* position = reinterpret_cast<unsigned*>(values);
  std::uint32_t* slot = scratch->slot.get();
  const std::size_t tail = left - count;
  scratch->bins.assign((tail >> kBinBits) + 2, 0);
  rand(values, count);
  for (std::size_t t = 0; t < count; ++t)
    slot[t] = static_cast<std::uint32_t>(t);
  // Which of the tail's first values each slot of the tail holds after each
  // draw: a draw into the tail trades two slots, and a slot is final once
  // its draw is made.
  std::size_t in_tail = count;
  // A record count fits 32 bits, and a 32-bit division costs less.
  const bool narrow = left <= 0xFFFFFFFF;
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t p = narrow
                              ? static_cast<unsigned>(values[k]) %
                                    static_cast<std::uint32_t>(left - k)
                              : static_cast<unsigned>(values[k]) % (left - k);
    if (p >= tail) {
      std::swap(slot[left - 1 - p], slot[k]);
      block->move[--in_tail] = std::uint64_t{k} << 32 | slot[k];
      position[k] = kInTail;
    } else {
      position[k] = static_cast<unsigned>(p);
      ++scratch->bins[(p >> kBinBits) + 1];
    }
  }
  std::vector<std::uint32_t>& bins = scratch->bins;
  for (std::size_t b = 1; b < bins.size(); ++b) bins[b] += bins[b - 1];
  block->moves = bins.back();
  for (std::size_t k = 0; k < count; ++k) {
    if (position[k] == kInTail) continue;
    const std::uint32_t j = bins[position[k] >> kBinBits]++;
    block->position[j] = position[k];
    block->move[j] = std::uint64_t{k} << 32 | slot[k];
  }
}

// Applies a worked-out block to `cadenas`; `first_values` and `drawn` hold
// a block's count each.
void Apply(const Block& block, std::uint32_t* cadenas,
           std::uint32_t* first_values, std::uint32_t* drawn) {
  const std::size_t count = block.count;
  const std::size_t left = block.left;
  for (std::size_t t = 0; t < count; ++t)
    first_values[t] = cadenas[left - 1 - t];
  for (std::size_t j = block.moves; j < count; ++j)
    drawn[block.move[j] >> 32] = first_values[block.move[j] & 0xFFFFFFFF];
  const std::uint32_t* position = block.position.get();
  const std::uint64_t* move = block.move.get();
  for (std::size_t j = 0; j < block.moves; ++j) {
    if (j + kAhead < block.moves) Prefetch(&cadenas[position[j + kAhead]]);
    const std::uint32_t p = position[j];
    drawn[move[j] >> 32] = cadenas[p];
    cadenas[p] = first_values[move[j] & 0xFFFFFFFF];
  }
  for (std::size_t k = 0; k < count; ++k) cadenas[left - 1 - k] = drawn[k];
}

// Blocks worked out on one thread and applied on another, two in flight.
class Pipeline {
 public:
  explicit Pipeline(std::size_t size) : blocks_{Block(size), Block(size)} {}

  // The first block, for a draw without a second thread.
  Block* First() { return &blocks_[0]; }
  // On the working-out thread: the next free block, or null once stopped.
  Block* Free(std::size_t b) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || b < applied_ + 2; });
    return stop_ ? nullptr : &blocks_[b % 2];
  }
  void Ready(std::size_t b) { Set(&ready_, b + 1); }
  // On the applying thread: block `b` once worked out, or null once
  // stopped.
  const Block* Next(std::size_t b) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return stop_ || ready_ > b; });
    return ready_ > b ? &blocks_[b % 2] : nullptr;
  }
  void Applied(std::size_t b) { Set(&applied_, b + 1); }
  void Stop() { Set(&stop_, true); }

 private:
  template <class T>
  void Set(T* what, T value) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      *what = value;
    }
    changed_.notify_all();
  }

  Block blocks_[2];
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t ready_ = 0;
  std::size_t applied_ = 0;
  bool stop_ = false;
};

}  // namespace

void DrawInBlocks(std::uint32_t* cadenas, std::size_t n, std::size_t total,
                  const Generator& rand, std::size_t block,
                  const std::function<void(std::size_t drawn)>& applied) {
  const std::size_t size = std::min(block > 0 ? block : kDefaultBlock, total);
  if (size == 0) return;
  const std::size_t blocks = (total + size - 1) / size;
  Scratch scratch(size);
  Pipeline pipeline(size);
  std::unique_ptr<std::uint32_t[]> first_values(new std::uint32_t[size]);
  std::unique_ptr<std::uint32_t[]> records(new std::uint32_t[size]);
  const auto prepare = [&](std::size_t b, Block* into) {
    const std::size_t first = b * size;
    Prepare(first, std::min(size, total - first), n - first, rand, &scratch,
            into);
  };
  const auto apply = [&](const Block& ready) {
    Apply(ready, cadenas, first_values.get(), records.get());
    if (applied) applied(ready.first + ready.count);
  };
  SecondThread ahead(
      [&] {
        try {
          for (std::size_t b = 0; b < blocks; ++b) {
            Block* into = pipeline.Free(b);
            if (into == nullptr) return;
            prepare(b, into);
            pipeline.Ready(b);
          }
        } catch (...) {
          pipeline.Stop();  // the applying thread waits no more
          throw;
        }
      },
      [&] { pipeline.Stop(); });
  if (!ahead.started()) {
    // No second thread: each block worked out and applied in turn.
    Block* alone = pipeline.First();
    for (std::size_t b = 0; b < blocks; ++b) {
      prepare(b, alone);
      apply(*alone);
    }
    return;
  }
  for (std::size_t b = 0; b < blocks; ++b) {
    const Block* ready = pipeline.Next(b);
    if (ready == nullptr) break;  // the working out failed: Join says why
    apply(*ready);
    pipeline.Applied(b);
  }
  ahead.Join();
}

}  // namespace pixelsets
