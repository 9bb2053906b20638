#include "pixelsets/memory_budget.h"

#include <algorithm>

#include "pixelsets/bucket_plan.h"

namespace pixelsets {

std::uint64_t InMemoryNeed(std::uint64_t size, std::uint64_t records) {
  const std::uint64_t index = records * (size < kNarrowLimit ? 4 : 8);
  return size + index + kInMemoryFixed;
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
                std::uint64_t available, std::uint64_t stream_from) {
  if (size < stream_from &&
      InMemoryNeed(size, records + records / 4) <= available)
    return Path::kInMemory;
  if (size > 0 && StreamedNeed(size, records - records / 4) <= available)
    return Path::kStreamed;
  return Path::kNeither;
}

}  // namespace pixelsets
