// The streamed draw's buckets: how the drawn records are spread over them,
// and a bucket put back in draw order from the draw alone.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pixelsets/bucket_order.h"
#include "pixelsets/bucket_plan.h"

namespace {

using pixelsets::BucketPlan;

std::string Name(std::uint32_t record) { return std::to_string(record); }

// Every plan covers its draws, keeps to the buckets a round can have, and
// leaves room to order two buckets in the memory of the records' bucket
// numbers (a byte a record): less would overrun that memory.
TEST(PlanBuckets, CoversTheDrawAndFitsItsMemory) {
  struct Case {
    std::uint64_t records, size, total;
    std::size_t bucket_bytes;
  };
  const Case cases[] = {
      {1, 4, 1, 0},
      {100, 700, 100, 0},
      {100, 700, 3, 64},
      {60000000, 3978520583, 60000000, 0},
      {60000000, 3978520583, 1000, 0},
      {2147483647, 14450360316, 2147483647, 0},  // the top of the range
      {2147483647, 2147483649, 2147483647, 0},   // records of no byte
      {5000000, 10000000000, 5000000, 0},        // records of 2000 bytes
      {1000000, 7000000, 1000000, 4096},         // many rounds
  };
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.records) + " records, " +
                              std::to_string(c.size) + " bytes, " +
                              std::to_string(c.total) + " drawn";
    const BucketPlan plan =
        pixelsets::PlanBuckets(c.records, c.size, c.total, c.bucket_bytes);
    EXPECT_GE(std::uint64_t{plan.rounds} * plan.round_slots(), c.total)
        << label;
    EXPECT_LT(std::uint64_t{plan.rounds - 1} * plan.round_slots(), c.total)
        << label;
    EXPECT_LE(plan.buckets, pixelsets::kMaxBuckets) << label;
    // Two buckets of two words a slot.
    EXPECT_LE(sizeof(std::uint64_t) * 2 * 2 * plan.per_bucket,
              std::max<std::uint64_t>(c.records, pixelsets::kOrderBytes))
        << label;
    EXPECT_LE(pixelsets::PlanMemory(plan),
              std::uint64_t{255} * pixelsets::kBucketBuffer +
                  pixelsets::kMaxBucketBytes * 9 / 8 + (std::uint64_t{1} << 20))
        << label;
  }
  // The top of the range takes one read of the source.
  EXPECT_EQ(pixelsets::PlanBuckets(2147483647, 14450360316, 2147483647).rounds,
            1u);
}

// A bucket filed as the streamed draw files it (its records from the highest
// number down) comes back in slot order, for any draw; a bucket with a line
// more or less than its slots is refused.
TEST(OrderBucket, SlotsSortedByRecordGiveEachSlotItsLine) {
  std::mt19937 rng(7);
  for (std::size_t slots : {1u, 2u, 3u, 1000u, 70000u}) {
    const std::uint64_t limit = slots * 3 + 5;
    std::vector<std::uint32_t> all(limit);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    std::vector<std::uint32_t> records(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(slots));
    // The bucket's text: each record's line, from the highest number down.
    std::vector<std::uint32_t> filed = records;
    std::sort(filed.rbegin(), filed.rend());
    std::string data;
    for (std::uint32_t r : filed) data.append("r").append(Name(r)) += '\n';
    std::vector<std::uint64_t> scratch(2 * slots);
    pixelsets::SortSlots(records.data(), slots, limit, scratch.data());
    std::vector<std::uint32_t> starts(slots);
    ASSERT_TRUE(pixelsets::FindLineStarts(data.data(), data.size(),
                                          starts.data(), slots))
        << slots;
    const auto* line_of =
        reinterpret_cast<const std::uint32_t*>(scratch.data() + slots);
    for (std::size_t i = 0; i < slots; ++i) {
      const std::size_t start = starts[line_of[i]];
      const std::size_t end = data.find('\n', start);
      ASSERT_EQ(data.substr(start, end - start),
                std::string("r").append(Name(records[i])))
          << slots << " slots, slot " << i;
    }
    EXPECT_FALSE(pixelsets::FindLineStarts(data.data(), data.size() - 1,
                                           starts.data(), slots))
        << slots;
    const std::string more = data + "x\n";
    EXPECT_FALSE(pixelsets::FindLineStarts(more.data(), more.size(),
                                           starts.data(), slots))
        << slots;
  }
}

}  // namespace
