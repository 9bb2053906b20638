// How the draw from a streamed source spreads the drawn records over its
// buckets, and the memory that takes.

#ifndef PARTICION_SRC_PIXELSETS_BUCKET_PLAN_H_
#define PARTICION_SRC_PIXELSETS_BUCKET_PLAN_H_

#include <cstddef>
#include <cstdint>

namespace pixelsets {

// Each bucket's write buffer: buckets fill at random, so each needs its own.
inline constexpr std::size_t kBucketBuffer = std::size_t{64} << 10;
// What one bucket holds at most: it is read whole into memory to be put in
// draw order.
inline constexpr std::size_t kMaxBucketBytes = std::size_t{64} << 20;
// Bucket numbers are bytes, and one byte value means none.
inline constexpr std::size_t kMaxBuckets = 255;
// Files the streamed draw opens beside its buckets: the source opened
// again for each half of its second read, and the passing read of the
// system's figures (one file at a time) that each half makes.
inline constexpr std::size_t kFilesBesideBuckets = 4;
// Files a run opens after the load beside the draw's: the two temporaries
// of the pair and their folders. With the one bucket a plan needs at least,
// the least a run that streams its source must be able to open when it
// starts loading it (the load itself opens the source once more).
inline constexpr std::size_t kFilesOfThePair = 4;
inline constexpr std::size_t kFilesToStream =
    kFilesOfThePair + kFilesBesideBuckets + 1;

// Putting a bucket in order takes 16 bytes a slot, and the next one is
// sorted meanwhile, in the memory of the records' bucket numbers once the
// source is read: a bucket has at most a 32nd of the records.
inline constexpr std::size_t kOrderBytes = 32;

// A bucket takes a run of `per_bucket` slots of the draw order, a round
// `buckets` buckets; each round reads the source again.
struct BucketPlan {
  std::size_t per_bucket;
  std::size_t buckets;
  std::size_t rounds;
  std::uint64_t largest;  // about the most a bucket holds, in bytes
  std::size_t round_slots() const { return per_bucket * buckets; }
};

// Buckets of about the same size for `total` draws from a source of
// `records` records in `size` bytes, each of at most `bucket_bytes`
// (kMaxBucketBytes when 0), at most `most_buckets` (from 1 to kMaxBuckets)
// a round: the files the run may open set how many it can fill at once.
BucketPlan PlanBuckets(std::uint64_t records, std::uint64_t size,
                       std::uint64_t total, std::size_t bucket_bytes = 0,
                       std::size_t most_buckets = kMaxBuckets);

// What the plan takes in memory: each bucket's buffer and the largest
// bucket read back.
std::uint64_t PlanMemory(const BucketPlan& plan);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKET_PLAN_H_
