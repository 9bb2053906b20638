// Writes drawn records in draw order while reading the source text in its
// own order, a chunk of draws at a time: the gather for a large source in
// memory, where a read at random costs a walk of the page tables.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_ORDER_GATHER_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_ORDER_GATHER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "pixelsets/block_writer.h"
#include "pixelsets/platform.h"

namespace pixelsets {

// One gatherer of a `text_size` byte text of `records` records, and the
// memory it keeps from chunk to chunk. A chunk holds `draws` draws, or with
// `draws == 0` as many as take about a sixteenth of the text's size.
template <class Offset>
class SourceOrderGather {
 public:
  SourceOrderGather(const char* text, std::size_t text_size,
                    std::size_t records, std::size_t draws = 0);

  // Draws one chunk takes at most.
  std::size_t chunk() const { return chunk_; }

  // Appends through `out` the records of `text` at `count` (at most chunk())
  // offsets, `stacked[count - 1]` first and `stacked[0]` last, as
  // RecordAt reads them. False once a write fails, errno set.
  bool Write(const Offset* stacked, std::size_t count, BlockWriter* out);

 private:
  // The window of the text that `offset` falls in.
  std::size_t Window(Offset offset) const {
    return static_cast<std::size_t>(offset >> window_bits_);
  }
  // Sorts the chunk's offsets by the window of the text they fall in.
  void SortByWindow(const Offset* stacked, std::size_t count);
  // Copies each record, in the order of the text, into the group of its
  // place in the draw.
  void FileRecords(std::size_t count);
  // A new block for group `g`, from those the chunks before left.
  char* NewBlock(std::size_t g);

  const char* text_;
  std::size_t text_size_;
  std::size_t chunk_;
  int window_bits_;
  int group_bits_;  // a group holds 2^group_bits_ places of the draw
  // A chunk's arrays and the blocks are filled in bulk: on huge pages.
  template <class T>
  using Large = LargeVector<T>;
  std::vector<std::uint32_t> starts_;  // where each window's draws go
  Large<Offset> sorted_;               // the chunk's offsets, by window
  Large<std::uint32_t> places_;        // their places in the chunk
  std::vector<Large<char>> slabs_;     // the blocks, a slab's worth at a time
  std::vector<char*> blocks_;
  std::vector<std::uint32_t> used_;  // bytes of each block filled
  std::vector<std::vector<std::uint32_t>> groups_;  // each group's blocks
  std::size_t blocks_taken_ = 0;
  Large<const char*> entries_;  // a group's entries by place
};

extern template class SourceOrderGather<std::uint32_t>;
extern template class SourceOrderGather<std::uint64_t>;

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_ORDER_GATHER_H_
