// The order of one bucket of the streamed draw, recovered from the draw
// itself: a bucket holds its records as they were filed, from the last
// record of the source to the first, so its slots sorted by their records'
// numbers, from the highest, name its lines in turn.

#ifndef PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
#define PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_

#include <cstddef>
#include <cstdint>

namespace pixelsets {

// `data` (`size` bytes, under 4 GiB) holds a bucket's records, each ended
// by "\n", in descending record number; `records` the record number of each
// of its `slots` slots, in slot order, every one below `limit`, and is used
// up. `scratch` has room for 2 * `slots` words; its second half ends with
// each slot's record, in slot order, as (where it starts in `data` << 32 |
// its length). False when the lines are not one a slot: the source is no
// longer what was loaded.
bool OrderBucket(const char* data, std::size_t size, std::uint32_t* records,
                 std::size_t slots, std::uint64_t limit,
                 std::uint64_t* scratch);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKET_ORDER_H_
