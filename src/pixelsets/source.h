// A loaded source pixel list: its header value and its records, held in
// memory or, for a list larger than memory, left in the file to be read
// again when the sets are drawn.

#ifndef PARTICION_SRC_PIXELSETS_SOURCE_H_
#define PARTICION_SRC_PIXELSETS_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "pixelsets/memory_budget.h"
#include "pixelsets/platform.h"

namespace pixelsets {

// A source held in memory: its bytes, mapped from the file or read into
// `read_text`, and `cadenas`, the index of its records (each the offset in
// `text` where the record's line starts), in file order until a draw
// reorders and shrinks it.
struct InMemorySource {
  MappedFile mapped;
  LargeVector<char> read_text;
  const char* text = nullptr;
  std::size_t size = 0;
  std::variant<LargeVector<std::uint32_t>, LargeVector<std::uint64_t>> cadenas;
  // Fingerprints of a mapped text, taken as it was loaded, before its
  // records were indexed: another program may write the file while the run
  // uses it. A text read into the run's own memory cannot change.
  std::vector<std::uint64_t> sums;

  std::size_t records() const;
  // The text of the record at `pos` of the index, without its line end.
  std::string_view record(std::size_t pos) const;
};

// A source too large for memory: not held, but read again, `size` bytes of
// the open `file`, when the sets are drawn; each of its blocks must then
// still have the fingerprint it had when loaded.
struct StreamedSource {
  std::FILE* file = nullptr;
  std::uint64_t size = 0;
  std::uint64_t records = 0;
  std::vector<std::uint64_t> sums;
  // The line ends before each of its chunks of `chunk` bytes: where a read
  // that starts midway stands in the count of lines.
  std::size_t chunk = 0;
  std::vector<std::uint64_t> ends_before;
};

struct Source {
  std::int32_t caract = 0;  // the header value
  std::variant<InMemorySource, StreamedSource> held;

  std::size_t records() const;
};

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_SOURCE_H_
