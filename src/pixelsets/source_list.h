// The source pixel list: its header value and the pool of records drawn from.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "pixelsets/storage.h"

namespace pixelsets {

// Longest line a source may hold, not counting its line end.
inline constexpr std::size_t kMaxLineLength = 1999;

// Most records a run can count: the counts the user types are signed 32-bit.
inline constexpr std::uint64_t kMaxRecords = 2147483647;

// Sources up to this size index their records with 4-byte offsets, which
// halves the memory of the index and the cache misses of the draw; larger
// ones use 8-byte offsets.
inline constexpr std::uint64_t kNarrowLimit = std::uint64_t{1} << 32;

// How a source is held while it is drawn from.
enum class SourcePath {
  kAuto,      // in memory if it fits in what the system can give, else outside
  kInMemory,  // mapped or read whole: records are read at random
  kExternal,  // not held: read again in file order, drawn records in buckets
};

// The loaded source: its bytes (`text`, `text_size`), mapped from the file or
// read into `read_text`, and the index of its records, each an offset in
// `text`, in file order until a partition reorders and shrinks it:
// `cadenas` for a source under kNarrowLimit, `cadenas_wide` otherwise (the
// other one stays empty). A source too large for memory (`external`) is not
// held: `cadenas` numbers its records instead (0 for the first), and the
// draw reads `source`, `source_size` bytes, once more.
struct Pool {
  MappedFile mapped;
  std::vector<char, LargeAllocator<char>> read_text;
  const char* text = nullptr;
  std::size_t text_size = 0;
  std::vector<std::uint32_t, LargeAllocator<std::uint32_t>> cadenas;
  std::vector<std::uint64_t, LargeAllocator<std::uint64_t>> cadenas_wide;
  bool wide = false;
  // Fingerprints of a mapped `text` or of an external source, taken when it
  // was loaded: another program may write the file while the run reads it.
  std::vector<std::uint64_t> sums;
  bool external = false;
  std::FILE* source = nullptr;
  std::uint64_t source_size = 0;

  std::size_t size() const {
    return wide ? cadenas_wide.size() : cadenas.size();
  }
  // The text of the record at `pos`, without its line end.
  std::string_view record(std::size_t pos) const {
    return RecordAt(text, text_size, wide ? cadenas_wide[pos] : cadenas[pos]);
  }
  // The record of the line that starts at `offset` of `text`: up to its "\n"
  // or the end of the text, less a "\r" there, and cut at a zero byte.
  // Never reads more than a line may hold, whatever the text.
  static std::string_view RecordAt(const char* text, std::size_t size,
                                   std::uint64_t offset) {
    const char* start = text + static_cast<std::size_t>(offset);
    const char* stop = text + static_cast<std::size_t>(std::min<std::uint64_t>(
                                  size, offset + kMaxLineLength + 1));
    const char* end = start;
    while (end != stop && *end != '\n' && *end != '\0') ++end;
    if (end != start && end[-1] == '\r' && (end == text + size || *end == '\n'))
      --end;
    return {start, static_cast<std::size_t>(end - start)};
  }
};

// Reads the source whole from `fOrigen` (opened in binary mode, positioned at
// its start) into `*pool`, and its header integer into `*caract`.
// `size_hint` is the expected size in bytes (0 if unknown) so that a regular
// file is read into one allocation. A line ends at "\n"; a "\r" before it, or
// at the very end of the file, is not part of the line, and a zero byte ends
// its record. Returns false with the user-facing reason in `*err` (without a
// line end) when the first line does not begin with a signed 32-bit integer,
// a line is longer than kMaxLineLength, the read fails, there are more
// than `max_records` records, or the file was cut short while it was read;
// `*pool` is then empty. Throws std::bad_alloc
// when the source does not fit in memory.
// A regular file that would not fit in memory beside its index (see
// FitsInMemory) is only read through and left open in `fOrigen` for the
// draw, which must then read it again; `path` forces one way or the other.
// `narrow_limit` is for tests of the wide index.
bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint, Pool* pool,
                std::int32_t* caract, std::string* err,
                std::uint64_t max_records = kMaxRecords,
                std::uint64_t narrow_limit = kNarrowLimit,
                SourcePath path = SourcePath::kAuto);

// Whether a source of `size` bytes, with its index, fits in `available`
// bytes of memory with room to spare.
bool FitsInMemory(std::uint64_t size, std::uint64_t available);

// True when the loaded text is still what the file held when it was loaded:
// nothing cut, rewritten or written through a mapping since. A source read
// into the pool's own memory cannot change. Otherwise fills `*err` with
// kSourceChanged.
bool SourceUnchanged(const Pool& pool, std::string* err);

// The user-facing reason for a source that could not be read.
inline constexpr char kReadError[] = "Error al leer el fichero Origen";

// The user-facing reason for a source that changed while the run used it.
inline constexpr char kSourceChanged[] =
    "El fichero Origen ha cambiado mientras se leia";

// The number of "\n" in text[from, to).
std::size_t CountLineEnds(const char* text, std::size_t from, std::size_t to);

// Reads a signed decimal integer from the start of `text` as sscanf "%d"
// would (blanks first, an optional sign, digits; the rest is ignored).
// Returns false if there is none or it does not fit in 32 bits.
bool ParseHeader(std::string_view text, std::int32_t* value);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_
