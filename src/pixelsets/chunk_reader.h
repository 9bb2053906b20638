// A source read from start to end a chunk at a time, on two threads of its
// own while memory allows, each block fingerprinted as it comes: the disk,
// the system's copies and the fingerprints of the next chunks then overlap
// the caller's work on this one. Both passes over a source read it so: the
// load from the start, the second read from the end backwards.

#ifndef PARTICION_SRC_PIXELSETS_CHUNK_READER_H_
#define PARTICION_SRC_PIXELSETS_CHUNK_READER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "pixelsets/fingerprints.h"
#include "pixelsets/platform.h"
#include "pixelsets/record.h"
#include "pixelsets/second_thread.h"

namespace pixelsets {

class ChunkReader {
 public:
  // What may stand in front of a chunk: the unfinished line of the chunk
  // before, which is never longer than a line with its "\r".
  static constexpr std::size_t kCarry = kMaxLineLength + 2;

  // The bytes a chunk holds for a file of `size_hint` bytes (0 if unknown).
  static std::size_t ChunkFor(std::uint64_t size_hint);

  // Reads `file` from its first byte, at most `limit` bytes. `size_hint`,
  // the bytes expected (0 if unknown), keeps the buffers of a small file
  // small and its reading on the caller's thread. `backward` reads the
  // chunks of bytes [`from`, `limit`) (`limit` known, `from` a multiple of
  // ChunkFor(size_hint)) from the last to the first, each one's pages
  // forgotten once it is given back.
  ChunkReader(std::FILE* file, std::uint64_t limit, std::uint64_t size_hint,
              bool backward = false, std::uint64_t from = 0);
  ~ChunkReader();
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Gives back the chunk before and returns the next, with `carry`
  // (`carry_size` <= kCarry bytes, which may lie in the chunk before) copied
  // right in front of it: the returned pointer is the start of that copy.
  // `*got` is how many bytes were read, fewer than chunk() only at the end
  // of the file, at the limit or on a read error (failed()). Call no more
  // once a chunk came short. Read backward, no carry is taken, a chunk is
  // short only if it is the file's last, and there is none after the first.
  char* Next(const char* carry, std::size_t carry_size, std::size_t* got);
  // Where the chunk Next returned last starts in the file.
  std::uint64_t offset() const { return Number(taken_ - 1) * chunk_; }
  // The "\n" in that chunk.
  std::size_t line_ends() const { return SlotOf(taken_ - 1).line_ends; }
  // The fingerprints of the blocks of the chunk Next returned last.
  const std::vector<std::uint64_t>& sums() const {
    return SlotOf(taken_ - 1).sums;
  }
  // Whether reading that chunk failed.
  bool failed() const { return SlotOf(taken_ - 1).error; }
  // Bytes asked for per chunk: a whole number of fingerprinted blocks.
  std::size_t chunk() const { return chunk_; }

 private:
  static constexpr std::uint64_t kNone = static_cast<std::uint64_t>(-1);
  struct Slot {
    // Room for kCarry, then the chunk at `data`, aligned for an uncached
    // read, then kCopyAtOnce.
    std::unique_ptr<char[]> bytes;
    char* data = nullptr;
    std::uint64_t number = kNone;  // the chunk it holds, once read
    std::size_t got = 0;
    std::size_t line_ends = 0;
    bool error = false;
    std::vector<std::uint64_t> sums;
  };
  // Chunks are numbered in the order they are handed out; this is where in
  // the file chunk `number` lies, in chunks.
  std::uint64_t Number(std::uint64_t number) const {
    return backward_ ? first_ + count_ - 1 - number : number;
  }
  const Slot& SlotOf(std::uint64_t number) const {
    return slots_[number % slots_.size()];
  }
  // Reads chunk `number` into `*slot`; true when it is the last to read.
  bool Fill(std::uint64_t number, Slot* slot);
  void ReadAhead();
  // Makes the reading threads end.
  void Stop();

  std::FILE* file_;
  // A file larger than memory would only crowd the system's cache; the
  // source is read past it where it can be.
  UncachedFile uncached_;
  std::uint64_t limit_;
  std::size_t chunk_;
  bool backward_;
  std::uint64_t first_;  // the first chunk to read, when read backward
  std::uint64_t count_;  // chunks to read, when read backward
  std::vector<Slot> slots_;
  std::uint64_t taken_ = 0;  // chunks Next has returned
  // Shared with the reading threads.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t claimed_ = 0;   // chunks a reading thread has begun
  std::uint64_t released_ = 0;  // chunks given back, whose slot is free
  bool ended_ = false;          // a chunk came short: claim no more
  bool stop_ = false;
  std::vector<std::unique_ptr<SecondThread>> threads_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_CHUNK_READER_H_
