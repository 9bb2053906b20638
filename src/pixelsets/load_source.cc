#include "pixelsets/load_source.h"

#include <cerrno>
#include <memory>
#include <new>
#include <variant>

#include "pixelsets/bucket_plan.h"
#include "pixelsets/fingerprints.h"
#include "pixelsets/memory_budget.h"
#include "pixelsets/messages.h"
#include "pixelsets/source_readers.h"

namespace pixelsets {

namespace {

// About how many records a regular file of `size` bytes holds: the line
// ends of pieces spread over it, counted (all of them in a small file).
std::uint64_t EstimateRecords(std::FILE* f, std::uint64_t size) {
  constexpr std::size_t kPiece = std::size_t{64} << 10;
  constexpr std::uint64_t kPieces = 32;
  std::unique_ptr<char[]> piece(new char[kPiece]);
  std::uint64_t sampled = 0;
  std::uint64_t ends = 0;
  for (std::uint64_t i = 0; i < kPieces; ++i) {
    const std::uint64_t at = size <= kPiece * kPieces
                                 ? i * kPiece
                                 : (size - kPiece) / (kPieces - 1) * i;
    const std::int64_t got = at < size ? ReadAt(f, at, piece.get(), kPiece) : 0;
    if (got <= 0) break;
    sampled += static_cast<std::uint64_t>(got);
    ends += CountLineEnds(piece.get(), 0, static_cast<std::size_t>(got));
  }
  if (sampled == 0) return 0;
  return static_cast<std::uint64_t>(static_cast<double>(ends) /
                                    static_cast<double>(sampled) *
                                    static_cast<double>(size)) +
         1;
}

// How to hold a source of `size` bytes (0: no regular file, which can only
// be held in memory): as `options` ask, or where it fits.
Path PathFor(std::FILE* f, std::uint64_t size, const LoadOptions& options) {
  if (size == 0 || options.path == SourcePath::kInMemory)
    return Path::kInMemory;
  if (options.path == SourcePath::kStreamed) return Path::kStreamed;
  const std::uint64_t available = MemoryFree();
  // Where even a record a byte would fit, the file need not be looked at.
  if (size < options.stream_from && InMemoryNeed(size, size) <= available)
    return Path::kInMemory;
  return ChoosePath(size, EstimateRecords(f, size), available,
                    options.stream_from);
}

// Loads the source into memory; false with `*fits` false when its index
// would take more than `room` records.
bool LoadInMemory(std::FILE* f, std::uint64_t size_hint,
                  const LoadOptions& options, std::uint64_t room,
                  Source* source, std::string* err, bool* fits) {
  LineRules rules(options.max_records, &source->caract, err);
  auto& held = source->held.emplace<InMemorySource>();
  bool ok = ReadIntoMemory(f, size_hint, options.narrow_limit, room, &rules,
                           &held, fits, options.progress);
  // Pages lost to a cut read as zeros, which may look like a long line.
  if (held.mapped.mapped() && SourceCut()) {
    *err = kSourceChanged;
    ok = false;
  }
  return ok;
}

}  // namespace

bool LoadSource(std::FILE* fOrigen, std::uint64_t size_hint,
                const LoadOptions& options, Source* source, std::string* err,
                bool* ends_run) {
  *source = Source();
  const bool chosen = options.path == SourcePath::kAuto && size_hint > 0;
  Path path = PathFor(fOrigen, size_hint, options);
  // Neither way fits: said now, rather than by the system ending the run.
  if (path == Path::kNeither) throw std::bad_alloc();
  if (path == Path::kInMemory) {
    const std::uint64_t room = chosen ? RecordsThatFit(size_hint, MemoryFree())
                                      : static_cast<std::uint64_t>(-1);
    bool fits = true;
    if (LoadInMemory(fOrigen, size_hint, options, room, source, err, &fits))
      return true;
    *source = Source();
    // More records than the estimate said, and than memory holds beside
    // the text: the file is read through instead.
    if (fits) return false;
    err->clear();
  }
  // Said now, rather than after the read and the draw, which take minutes
  // on a large source.
  if (FilesFree() < kFilesToStream) {
    *source = Source();
    *err = SetFileError(kEntrenamiento, EMFILE);
    if (ends_run != nullptr) *ends_run = true;
    return false;
  }
  LineRules rules(options.max_records, &source->caract, err);
  auto& held = source->held.emplace<StreamedSource>();
  if (!ReadThrough(fOrigen, size_hint, &rules, &held, options.progress)) {
    *source = Source();
    return false;
  }
  if (chosen && StreamedNeed(held.size, held.records) > MemoryFree())
    throw std::bad_alloc();
  return true;
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
