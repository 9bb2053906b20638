// The order of one bucket of the streamed draw, recovered from the draw
// itself: a bucket holds its records as they were filed, from the last
// record of the source to the first, so its slots sorted by their records'
// numbers, from the highest, name its lines in turn.

#ifndef PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
#define PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_

#include <cstddef>
#include <cstdint>

namespace pixelsets {

// Sorts the `slots` slots of a bucket, given the record number of each,
// in slot order, every one below `limit`, into the order of their lines.
// `scratch` has room for 2 * `slots` words; its second half ends with the
// line of each slot, a 32-bit word each, in slot order. Needs the bucket's
// records only, not its text.
void SortSlots(const std::uint32_t* records, std::size_t slots,
               std::uint64_t limit, std::uint64_t* scratch);

// Writes where each of the `lines` lines of `data` (`size` bytes, under
// 4 GiB, a bucket's records each ended by "\n") starts to `starts`; false
// unless `data` holds exactly that many lines: the source is no longer what
// was loaded.
bool FindLineStarts(const char* data, std::size_t size, std::uint32_t* starts,
                    std::size_t lines);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
