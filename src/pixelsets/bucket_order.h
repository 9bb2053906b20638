// The order of one bucket of the streamed draw, recovered from the draw
// itself: a bucket holds its records as they were filed, from the last
// record of the source to the first, so its slots sorted by their records'
// numbers, from the highest, name its lines in turn.

#ifndef PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
#define PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_

#include <cstddef>
#include <cstdint>

namespace pixelsets {

// Where a bucket's sort leaves its result, and the room it leaves free.
struct SortedSlots {
  const std::uint32_t* slot_of_line;  // the slot of each line, in line order
  std::uint32_t* spare;               // room for twice as many words
};

// Sorts the `slots` slots of a bucket, given the record number of each, in
// slot order, every one below `limit`, into the order of their lines.
// `scratch` has room for 2 * `slots` words, and holds the result. Needs the
// bucket's records only, not its text.
SortedSlots SortSlots(const std::uint32_t* records, std::size_t slots,
                      std::uint64_t limit, std::uint64_t* scratch);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
