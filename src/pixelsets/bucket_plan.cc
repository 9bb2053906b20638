#include "pixelsets/bucket_plan.h"

#include <algorithm>

#include "pixelsets/bucket_groups.h"

namespace pixelsets {

BucketPlan PlanBuckets(std::uint64_t records, std::uint64_t size,
                       std::uint64_t total, std::size_t bucket_bytes,
                       std::size_t most_buckets) {
  const std::uint64_t most =
      std::clamp<std::size_t>(most_buckets, 1, kMaxBuckets);
  const std::uint64_t bytes = bucket_bytes > 0 ? bucket_bytes : kMaxBucketBytes;
  // A record's line, with its line end: the mean, rounded up.
  const std::uint64_t mean = std::max<std::uint64_t>(
      1, (size + records) / std::max<std::uint64_t>(records, 1));
  std::uint64_t per_bucket =
      std::max<std::uint64_t>(1, std::min(bytes / mean, records / kOrderBytes));
  const std::uint64_t needed = (total + per_bucket - 1) / per_bucket;
  const std::uint64_t rounds =
      std::max<std::uint64_t>(1, (needed + most - 1) / most);
  const std::uint64_t buckets =
      std::max<std::uint64_t>(1, (needed + rounds - 1) / rounds);
  per_bucket = std::max<std::uint64_t>(
      1, (total + rounds * buckets - 1) / (rounds * buckets));
  return {static_cast<std::size_t>(per_bucket),
          static_cast<std::size_t>(buckets), static_cast<std::size_t>(rounds),
          per_bucket * mean};
}

std::uint64_t PlanMemory(const BucketPlan& plan) {
  // Records are not all of the mean length: room for an eighth more.
  return plan.buckets * kBucketBuffer +
         GroupsMemory(plan.largest + plan.largest / 8);
}

}  // namespace pixelsets
