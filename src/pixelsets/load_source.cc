#include "pixelsets/load_source.h"

#include <variant>

#include "pixelsets/fingerprints.h"
#include "pixelsets/memory_budget.h"
#include "pixelsets/messages.h"
#include "pixelsets/source_readers.h"

namespace pixelsets {

bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint,
                const LoadOptions& options, Source* source, std::string* err) {
  *source = Source();
  LineRules rules(options.max_records, &source->caract, err);
  // Only a file of known size can be read twice; only one too large for
  // memory is worth it.
  const bool streamed =
      size_hint > 0 && (options.path == SourcePath::kStreamed ||
                        (options.path == SourcePath::kAuto &&
                         !FitsInMemory(size_hint, MemoryFree())));
  if (streamed) {
    auto& held = source->held.emplace<StreamedSource>();
    if (ReadThrough(fOrigen, size_hint, &rules, &held)) return true;
    *source = Source();
    return false;
  }
  auto& held = source->held.emplace<InMemorySource>();
  bool ok =
      ReadIntoMemory(fOrigen, size_hint, options.narrow_limit, &rules, &held);
  // Pages lost to a cut read as zeros, which may look like a long line.
  if (held.mapped.mapped() && SourceCut()) {
    *err = kSourceChanged;
    ok = false;
  }
  if (ok && held.mapped.mapped())
    held.sums = BlockSums(held.mapped.data(), held.mapped.size());
  if (!ok) *source = Source();
  return ok;
}

bool SourceUnchanged(const Source& source, std::string* err) {
  const auto* held = std::get_if<InMemorySource>(&source.held);
  if (held == nullptr || !held->mapped.mapped()) return true;
  // Read again through the mapping, which shows the file as it is now; a
  // page cut off since reads as zeros and is noted.
  if (BlockSums(held->mapped.data(), held->mapped.size()) == held->sums &&
      !SourceCut())
    return true;
  *err = kSourceChanged;
  return false;
}

}  // namespace pixelsets
