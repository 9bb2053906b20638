// How a source is held: what it needs in memory or streamed, against what
// the run can have, so that a run never takes a path that does not fit and
// is never ended by the system for want of memory.

#ifndef PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_
#define PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_

#include <cstdint>

namespace pixelsets {

// Sources up to this size index their records with 4-byte offsets, which
// halves the memory of the index and the cache misses of the draw; larger
// ones use 8-byte offsets.
inline constexpr std::uint64_t kNarrowLimit = std::uint64_t{1} << 32;

// Regular files from this size up are streamed, whatever memory is left:
// measured side by side, the streamed path splits them as fast as the
// in-memory one did (its text mapped, its index, a gather in source order)
// with a fifth of the memory, and a machine's new memory is what costs most.
inline constexpr std::uint64_t kStreamFrom = std::uint64_t{1} << 30;

// What a streamed source costs a record: its number in the draw's array (4
// bytes) and the bucket it goes to (1).
inline constexpr std::uint64_t kStreamedPerRecord = 5;

// What the streamed path takes beside its records and its buckets: six
// chunks being read (three for each half of the source), the lines found of
// two windows, the set files' blocks, the threads' stacks. What the in-memory
// path takes beside its text and index: the set files' blocks, a
// thread's stack (as measured: 2 to 4 MiB). Beyond these, the program itself
// holds about 6 MiB.
inline constexpr std::uint64_t kStreamedFixed = std::uint64_t{16} << 20;
inline constexpr std::uint64_t kInMemoryFixed = std::uint64_t{8} << 20;

// The memory a source of `size` bytes and `records` records needs beyond
// what the program holds: held in memory (its text and its index), or
// streamed (5 bytes a record, its
// buckets as PlanBuckets spreads every record over them, and
// kStreamedFixed). The streamed path thus needs at most 5 bytes a record and
// 108 MiB, and with the program itself (about 6 MiB), 114.
std::uint64_t InMemoryNeed(std::uint64_t size, std::uint64_t records);
std::uint64_t StreamedNeed(std::uint64_t size, std::uint64_t records);

// How many records a text of `size` bytes may have, its index beside it,
// within `available` bytes.
std::uint64_t RecordsThatFit(std::uint64_t size, std::uint64_t available);

enum class Path { kInMemory, kStreamed, kNeither };

// The path for a source of `size` bytes (0 when it is no regular file, which
// cannot be read twice) and about `records` records, when the run can still
// have `available` bytes: a regular file of `stream_from` bytes or more is
// streamed; anything smaller is held in memory where that fits, else
// streamed; neither where that does not fit either (a pipe is never
// streamed). An estimate of the records is taken as up to a quarter too low
// for memory, and a quarter too high for the streamed path: the loader
// checks the exact count before it takes the memory.
Path ChoosePath(std::uint64_t size, std::uint64_t records,
                std::uint64_t available,
                std::uint64_t stream_from = kStreamFrom);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_MEMORY_BUDGET_H_
