// The procedure of the draw on an array far larger than the caches, a
// block of draws at a time: a block's positions depend only on the
// generator, so they are worked out ahead, on a second thread, and sorted
// by the part of the array they fall in; the array is then met in its own
// order rather than at random. It ends exactly as DrawPositions leaves it.

#ifndef PARTICION_SRC_PIXELSETS_DRAW_IN_BLOCKS_H_
#define PARTICION_SRC_PIXELSETS_DRAW_IN_BLOCKS_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "pixelsets/generator.h"

namespace pixelsets {

// What the draw takes beyond the array, a draw of a block.
inline constexpr std::size_t kBlockBytesPerDraw = 40;
// The block size the draw takes where it is not told. The larger, the more
// of a block's positions share a part of the array (on 2,147,483,647
// records, 8.5 ns a draw to apply blocks of 4 million, 18 ns blocks of 1
// million); the smaller, the less memory.
inline constexpr std::size_t kDefaultBlock = std::size_t{2} << 20;

// Draws `total` of the `n` records of `cadenas`, one generator value a
// draw, as DrawPositions does, in blocks of `block` draws (kDefaultBlock
// where 0), holding kBlockBytesPerDraw bytes a draw of a block. Calls
// `applied` (if any) with the draws done after each block.
void DrawInBlocks(std::uint32_t* cadenas, std::size_t n, std::size_t total,
                  const Generator& rand, std::size_t block = 0,
                  const std::function<void(std::size_t drawn)>& applied = {});

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DRAW_IN_BLOCKS_H_
