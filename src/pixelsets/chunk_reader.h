// A source read from start to end a chunk at a time, on a thread of its own
// while memory allows, each block fingerprinted as it comes: the disk, the
// system's copy and the fingerprints of one chunk then overlap the caller's
// work on the chunk before. Both passes over a source read it so.

#ifndef PARTICION_SRC_PIXELSETS_CHUNK_READER_H_
#define PARTICION_SRC_PIXELSETS_CHUNK_READER_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "pixelsets/source_list.h"
#include "pixelsets/source_sums.h"

namespace pixelsets {

class ChunkReader {
 public:
  // What may stand in front of a chunk: the unfinished line of the chunk
  // before, which is never longer than a line with its "\r".
  static constexpr std::size_t kCarry = kMaxLineLength + 2;

  // Reads `file` from where it stands, at most `limit` bytes. `size_hint`,
  // the bytes expected (0 if unknown), keeps the buffers of a small file
  // small and its reading on this thread.
  ChunkReader(std::FILE* file, std::uint64_t limit, std::uint64_t size_hint);
  ~ChunkReader();
  ChunkReader(const ChunkReader&) = delete;
  ChunkReader& operator=(const ChunkReader&) = delete;

  // Gives back the chunk before and returns the next, with `carry`
  // (`carry_size` <= kCarry bytes, which may lie in the chunk before) copied
  // right in front of it: the returned pointer is the start of that copy.
  // `*got` is how many bytes were read, fewer than chunk() only at the end
  // of the file, at the limit or on a read error (failed()). Call no more
  // once a chunk came short.
  char* Next(const char* carry, std::size_t carry_size, std::size_t* got);
  // The fingerprints of the blocks of the chunk Next returned last.
  const std::vector<std::uint64_t>& sums() const {
    return slot(taken_ - 1).sums;
  }
  // Whether reading that chunk failed.
  bool failed() const { return slot(taken_ - 1).error; }
  // Bytes asked for per chunk: a whole number of fingerprinted blocks.
  std::size_t chunk() const { return chunk_; }

 private:
  struct Slot {
    std::unique_ptr<char[]> bytes;  // kCarry, then chunk_
    std::size_t got = 0;
    bool error = false;
    std::vector<std::uint64_t> sums;
  };
  const Slot& slot(std::uint64_t number) const {
    return slots_[number % slots_.size()];
  }
  // Reads the next chunk into `*slot`; true when it is the last.
  bool Fill(Slot* slot);
  void ReadAhead();

  std::FILE* file_;
  std::uint64_t left_;
  std::size_t chunk_;
  std::vector<Slot> slots_;
  std::uint64_t taken_ = 0;  // chunks Next has returned
  // Shared with the reading thread.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t filled_ = 0;    // chunks read
  std::uint64_t released_ = 0;  // chunks given back, whose slot is free
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_CHUNK_READER_H_
