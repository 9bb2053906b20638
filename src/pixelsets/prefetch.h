// A hint to the processor that memory is read soon, for the passes that
// read arrays at random or run ahead of its own fetching.

#ifndef PARTICION_SRC_PIXELSETS_PREFETCH_H_
#define PARTICION_SRC_PIXELSETS_PREFETCH_H_

namespace pixelsets {

// Starts fetching the cache line that holds `p`; a hint only: without it a
// pass is slower, not different.
inline void Prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_PREFETCH_H_
