// The source pixel list: its header value and the pool of records drawn from.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pixelsets {

// Longest line a source may hold, not counting its line end.
inline constexpr std::size_t kMaxLineLength = 1999;

// Most records a run can count: the counts the user types are signed 32-bit.
inline constexpr std::uint64_t kMaxRecords = 2147483647;

// The loaded source. `buffer` holds the file's bytes as read, and `cadenas`
// one packed view per record (offset << 11 | length), in file order until a
// partition reorders and shrinks it. Views are 8 bytes so that ten million
// records stay small and cache-friendly.
struct Pool {
  std::unique_ptr<char[]> buffer;
  std::vector<std::uint64_t> cadenas;

  std::size_t size() const { return cadenas.size(); }
  // The text of the record at `pos`, without its line end.
  std::string_view record(std::size_t pos) const { return View(cadenas[pos]); }
  std::string_view View(std::uint64_t packed) const {
    return {buffer.get() + (packed >> kLengthBits), packed & kLengthMask};
  }

  static constexpr unsigned kLengthBits = 11;  // 2047 >= kMaxLineLength
  static constexpr std::uint64_t kLengthMask = (1u << kLengthBits) - 1;
};

// Reads the source whole from `fOrigen` (opened in binary mode, positioned at
// its start) into `*pool`, and its header integer into `*caract`.
// `size_hint` is the expected size in bytes (0 if unknown) so that a regular
// file is read into one allocation. A line ends at "\n"; a "\r" before it, or
// at the very end of the file, is not part of the line, and a zero byte ends
// its record. Returns false with the user-facing reason in `*err` (without a
// line end) when the first line does not begin with a signed 32-bit integer,
// a line is longer than kMaxLineLength, the read fails or there are more
// than `max_records` records; `*pool` is then empty. Throws std::bad_alloc
// when the source does not fit in memory.
bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint, Pool* pool,
                std::int32_t* caract, std::string* err,
                std::uint64_t max_records = kMaxRecords);

// Reads a signed decimal integer from the start of `text` as sscanf "%d"
// would (blanks first, an optional sign, digits; the rest is ignored).
// Returns false if there is none or it does not fit in 32 bits.
bool ParseHeader(std::string_view text, std::int32_t* value);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_LIST_H_
