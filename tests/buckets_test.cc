// The streamed draw's buckets: how the drawn records are spread over them,
// and a bucket put back in draw order from the draw alone.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "pixelsets/bucket_groups.h"
#include "pixelsets/bucket_order.h"
#include "pixelsets/bucket_plan.h"

namespace {

using pixelsets::BucketPlan;

// A record's line: its number, then as many letters as its number says
// (0 to 40), so that lines are short and long, and some longer than what is
// copied of a short line at once.
std::string Line(std::uint32_t record) {
  return std::to_string(record) + std::string(record * 7 % 41, 'a');
}

// Every plan covers its draws, keeps to the buckets a round can have, and
// leaves room to order two buckets in the memory of the records' bucket
// numbers (a byte a record): less would overrun that memory.
TEST(PlanBuckets, CoversTheDrawAndFitsItsMemory) {
  struct Case {
    std::uint64_t records, size, total;
    std::size_t bucket_bytes;
    std::size_t most_buckets = pixelsets::kMaxBuckets;  // files to fill
  };
  const Case cases[] = {
      {1, 4, 1, 0},
      {100, 700, 100, 0},
      {100, 700, 3, 64},
      {60000000, 3978520583, 60000000, 0},
      {60000000, 3978520583, 1000, 0},
      {2147483647, 14450360316, 2147483647, 0},     // the top of the range
      {2147483647, 2147483649, 2147483647, 0},      // records of no byte
      {5000000, 10000000000, 5000000, 0},           // records of 2000 bytes
      {1000000, 7000000, 1000000, 4096},            // many rounds
      {2147483647, 14450360316, 2147483647, 0, 7},  // few files
      {1000000, 7000000, 1000000, 0, 1},
      {1000000, 7000000, 1000000, 0, 0},  // none: taken as one
  };
  for (const Case& c : cases) {
    const std::string label = std::to_string(c.records) + " records, " +
                              std::to_string(c.size) + " bytes, " +
                              std::to_string(c.total) + " drawn, " +
                              std::to_string(c.most_buckets) + " buckets";
    const BucketPlan plan = pixelsets::PlanBuckets(
        c.records, c.size, c.total, c.bucket_bytes, c.most_buckets);
    EXPECT_GE(std::uint64_t{plan.rounds} * plan.round_slots(), c.total)
        << label;
    EXPECT_LT(std::uint64_t{plan.rounds - 1} * plan.round_slots(), c.total)
        << label;
    EXPECT_LE(plan.buckets, std::max<std::size_t>(1, c.most_buckets)) << label;
    // Two buckets of two words a slot.
    EXPECT_LE(sizeof(std::uint64_t) * 2 * 2 * plan.per_bucket,
              std::max<std::uint64_t>(c.records, pixelsets::kOrderBytes))
        << label;
    EXPECT_LE(pixelsets::PlanMemory(plan),
              std::uint64_t{255} * pixelsets::kBucketBuffer +
                  pixelsets::kMaxBucketBytes * 9 / 8 + (std::uint64_t{5} << 20))
        << label;
  }
  // The top of the range takes one read of the source.
  EXPECT_EQ(pixelsets::PlanBuckets(2147483647, 14450360316, 2147483647).rounds,
            1u);
}

// Writes `data` to a new scratch file.
std::FILE* Scratch(const std::string& data) {
  std::FILE* file = std::tmpfile();
  std::fwrite(data.data(), 1, data.size(), file);
  std::fflush(file);
  return file;
}

// A bucket as the streamed draw files it: each record's line, from the
// highest record number down, then `extra`; the first `later` lines in one
// file and the rest, if any, in a second, as the two halves of a source
// read at once file them.
pixelsets::BucketFile WriteBucket(const std::vector<std::uint32_t>& records,
                                  const std::string& extra, std::size_t later) {
  std::vector<std::uint32_t> filed = records;
  std::sort(filed.rbegin(), filed.rend());
  std::string halves[2];
  for (std::size_t i = 0; i < filed.size(); ++i)
    halves[i < later ? 0 : 1].append(Line(filed[i])) += '\n';
  const int last = later < filed.size() ? 1 : 0;
  halves[last] += extra;
  pixelsets::BucketFile bucket;
  for (int i = 0; i <= last; ++i) {
    bucket.files[i] = Scratch(halves[i]);
    bucket.sizes[i] = halves[i].size();
  }
  return bucket;
}

void Close(const pixelsets::BucketFile& bucket) {
  for (std::FILE* file : bucket.files) {
    if (file != nullptr) std::fclose(file);
  }
}

// A bucket comes back in slot order, for any draw and lines of any length,
// short and long, across the chunks its file is read in, in one file or
// two; a bucket with a line more or less than its slots is refused.
TEST(OrderBucket, SlotsSortedByRecordGiveEachSlotItsLine) {
  std::mt19937 rng(7);
  for (std::size_t slots : {1u, 2u, 3u, 1000u, 70000u, 200000u}) {
    const std::uint64_t limit = slots * 3 + 5;
    std::vector<std::uint32_t> all(limit);
    std::iota(all.begin(), all.end(), 0u);
    std::shuffle(all.begin(), all.end(), rng);
    const std::vector<std::uint32_t> records(
        all.begin(), all.begin() + static_cast<std::ptrdiff_t>(slots));
    for (const char* extra : {"", "x\n", "-"}) {
      for (const bool whole : {false, true}) {
        for (const std::size_t later : {slots, slots / 2}) {
          const std::string label = std::to_string(slots) + " slots, \"" +
                                    extra + "\" after" +
                                    (whole ? ", whole" : "") +
                                    (later < slots ? ", in two files" : "");
          const pixelsets::BucketFile file = WriteBucket(records, extra, later);
          std::vector<std::uint64_t> scratch(2 * slots);
          std::vector<std::uint32_t> numbers = records;
          const pixelsets::SortedSlots sorted = pixelsets::SortSlots(
              numbers.data(), slots, limit, scratch.data());
          std::vector<std::uint32_t> ends(slots);
          pixelsets::BucketLines lines;
          pixelsets::BucketGroups groups(file.size());
          pixelsets::Regrouped read =
              whole ? groups.ReadWhole(
                          file, sorted.slot_of_line, slots,
                          reinterpret_cast<std::uint64_t*>(sorted.spare))
                    : pixelsets::LineFinder().Find(file, sorted.slot_of_line,
                                                   slots, ends.data(),
                                                   sorted.spare, &lines);
          if (!whole && read == pixelsets::Regrouped::kDone)
            read = groups.Read(file, lines);
          Close(file);
          if (*extra != '\0') {
            EXPECT_EQ(read, pixelsets::Regrouped::kChanged) << label;
            continue;
          }
          ASSERT_EQ(read, pixelsets::Regrouped::kDone) << label;
          std::size_t next = 0;
          ASSERT_TRUE(groups.Write([&](std::size_t slot,
                                       std::string_view line) {
            EXPECT_EQ(slot, next) << label;
            EXPECT_EQ(line, Line(records[next])) << label << ", slot " << slot;
            ++next;
            return true;
          })) << label;
          EXPECT_EQ(next, slots) << label;
        }
      }
    }
    // One line short of the slots.
    std::vector<std::uint32_t> fewer(records.begin() + 1, records.end());
    const pixelsets::BucketFile file = WriteBucket(fewer, "", slots);
    std::vector<std::uint64_t> scratch(2 * slots);
    const pixelsets::SortedSlots sorted =
        pixelsets::SortSlots(records.data(), slots, limit, scratch.data());
    std::vector<std::uint32_t> ends(slots);
    pixelsets::BucketLines lines;
    EXPECT_EQ(pixelsets::LineFinder().Find(file, sorted.slot_of_line, slots,
                                           ends.data(), sorted.spare, &lines),
              pixelsets::Regrouped::kChanged)
        << slots << " slots, a line short";
    Close(file);
  }
}

}  // namespace
