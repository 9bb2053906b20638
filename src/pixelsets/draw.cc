#include "pixelsets/draw.h"

#include <variant>

#include "pixelsets/in_memory_draw.h"
#include "pixelsets/messages.h"
#include "pixelsets/set_writers.h"
#include "pixelsets/streamed_draw.h"

namespace pixelsets {

bool Partition(Source* source, std::int32_t n_entr, std::int32_t n_test,
               const Generator& rand, const SetStreams& sets,
               const DrawOptions& options, std::string* err) {
  const std::size_t n_total = source->records();
  // Counts beyond the pool would draw from records already taken.
  if (n_entr < 0 || n_test < 0 ||
      static_cast<std::uint64_t>(n_entr) + static_cast<std::uint64_t>(n_test) >
          n_total) {
    *err = CountsOutOfRange(n_entr, n_test, n_total);
    return false;
  }
  const DrawCounts counts{static_cast<std::size_t>(n_entr),
                          static_cast<std::size_t>(n_test)};
  SetWriters out(sets);
  out.entrenamiento.Header(source->caract);
  out.test.Header(source->caract);
  if (auto* streamed = std::get_if<StreamedSource>(&source->held))
    return StreamedDraw(*streamed, counts, rand, &out, options, err);
  return InMemoryDraw(&std::get<InMemorySource>(source->held), counts, rand,
                      &out, options, err);
}

}  // namespace pixelsets
