// What a line and a record of a source are: the one rule every way of
// reading a source applies.

#ifndef PARTICION_SRC_PIXELSETS_RECORD_H_
#define PARTICION_SRC_PIXELSETS_RECORD_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace pixelsets {

// Longest line a source may hold, not counting its line end.
inline constexpr std::size_t kMaxLineLength = 1999;

// Most records a run can count: the counts the user types are signed 32-bit.
inline constexpr std::uint64_t kMaxRecords = 2147483647;

// Whether the line text[start, end), its "\n" excluded, is longer than a
// record may be: a "\r" that ends it is not part of it.
inline bool TooLong(const char* text, std::size_t start, std::size_t end) {
  const std::size_t length = end - start;
  return length > kMaxLineLength &&
         (length > kMaxLineLength + 1 || text[end - 1] != '\r');
}

// The record of the line that starts at `offset` of text[0, size): up to its
// "\n" or the end of the text, less a "\r" there, and cut at a zero byte.
// Never reads more than a line may hold, whatever the text.
inline std::string_view RecordAt(const char* text, std::size_t size,
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

// The record of a whole line given without its "\n".
inline std::string_view RecordOf(std::string_view line) {
  return RecordAt(line.data(), line.size(), 0);
}

// The same, for a line known to hold no zero byte: the line less a final
// "\r". A text with no zero byte in it need not look at each byte again.
inline std::string_view RecordOfLineWithoutZero(std::string_view line) {
  const bool cr = !line.empty() && line.back() == '\r';
  return line.substr(0, cr ? line.size() - 1 : line.size());
}

// The number of "\n" in text[from, to).
std::size_t CountLineEnds(const char* text, std::size_t from, std::size_t to);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_RECORD_H_
