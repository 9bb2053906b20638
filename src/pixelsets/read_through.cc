// A source too large for memory, read through once to check its lines,
// count its records and take the fingerprints of its blocks.

#include "pixelsets/chunk_reader.h"
#include "pixelsets/messages.h"
#include "pixelsets/source_readers.h"

namespace pixelsets {

bool ReadThrough(std::FILE* f, std::uint64_t size_hint, LineRules* rules,
                 StreamedSource* source, const TellProgress& tell) {
  ChunkReader reader(f, static_cast<std::uint64_t>(-1), size_hint);
  const char* text = nullptr;
  std::size_t len = 0;
  std::size_t line_start = 0;
  std::size_t scan = 0;
  std::uint64_t ends = 0;  // line ends in the chunks before
  source->chunk = reader.chunk();
  for (;;) {
    // Only the unfinished line stays, in front of the next chunk.
    std::size_t got;
    text = reader.Next(text + line_start, len - line_start, &got);
    len = len - line_start + got;
    scan -= line_start;
    line_start = 0;
    source->sums.insert(source->sums.end(), reader.sums().begin(),
                        reader.sums().end());
    source->ends_before.push_back(ends);
    ends += reader.line_ends();
    source->size += got;
    if (tell) tell(Step::kRead, source->size, size_hint);
    if (!TakeLines(text, len, &line_start, &scan, rules, [](std::size_t) {}))
      return false;
    if (len - line_start > kMaxLineLength + 1) return rules->FailLongLine();
    if (got == reader.chunk()) continue;
    if (reader.failed()) return rules->Fail(kReadError);
    // The last line, while its chunk is still held.
    bool record = false;
    if (line_start < len && !rules->Take(text, line_start, len, &record))
      return false;
    source->file = f;
    source->records = rules->records();
    return rules->FailIfEmpty();
  }
}

}  // namespace pixelsets
