#include "pixelsets/memory_budget.h"

#include <algorithm>

#include "pixelsets/bucket_plan.h"

namespace pixelsets {

std::uint64_t InMemoryNeed(std::uint64_t size, std::uint64_t records) {
  const std::uint64_t index = records * (size < kNarrowLimit ? 4 : 8);
  // Each of the two gatherers keeps a chunk of about a sixteenth of the text.
  const std::uint64_t gather = size >= kSourceOrderFrom ? size / 8 : 0;
  return size + index + gather + kInMemoryFixed;
}

std::uint64_t StreamedNeed(std::uint64_t size, std::uint64_t records) {
  return records * kStreamedPerRecord +
         PlanMemory(PlanBuckets(records, size, records)) + kStreamedFixed;
}

std::uint64_t RecordsThatFit(std::uint64_t size, std::uint64_t available) {
  const std::uint64_t text = InMemoryNeed(size, 0);
  return available > text ? (available - text) / (size < kNarrowLimit ? 4 : 8)
                          : 0;
}

Path ChoosePath(std::uint64_t size, std::uint64_t records,
                std::uint64_t available) {
  if (InMemoryNeed(size, records + records / 4) <= available)
    return Path::kInMemory;
  if (size > 0 && StreamedNeed(size, records - records / 4) <= available)
    return Path::kStreamed;
  return Path::kNeither;
}

}  // namespace pixelsets
