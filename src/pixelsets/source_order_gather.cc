#include "pixelsets/source_order_gather.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string_view>

#include "pixelsets/draw_positions.h"
#include "pixelsets/record.h"

namespace pixelsets {
namespace {

// Most draws in one chunk. Each chunk reads across the whole text, so fewer
// chunks cost fewer walks of its page tables; larger ones cost more fresh
// memory. Measured in a stand-alone test on 300 million records (4.6 GiB):
// 45 to 65 ns a record with chunks of 8 to 32 million draws, against 115 to
// 230 ns for reading each record where it is drawn.
constexpr std::size_t kMostChunk = std::size_t{8} << 20;
constexpr std::size_t kLeastChunk = std::size_t{64} << 10;
// A group's records are put in draw order within it by reads at random, so
// a group's text is kept to about what the caches and page tables reach.
constexpr std::size_t kGroupBytes = std::size_t{4} << 20;
constexpr int kMostGroupBits = 20;
// A record's entry in its group: its place in the group above its length
// (kMaxLineLength < 2^11), then its text.
constexpr int kLengthBits = 11;
constexpr std::uint32_t kLengthMask = (1u << kLengthBits) - 1;
constexpr std::size_t kEntryHead = 4;
constexpr std::size_t kBlockBytes = std::size_t{64} << 10;
// Blocks come in slabs of one huge page.
constexpr std::size_t kSlabBlocks = 32;
// How far ahead to fetch: as for the gather that reads where it draws.
constexpr std::size_t kAhead = 16;

static_assert(kMaxLineLength <= kLengthMask);
static_assert(kEntryHead + kMaxLineLength <= kBlockBytes);

}  // namespace

template <class Offset>
SourceOrderGather<Offset>::SourceOrderGather(const char* text,
                                             std::size_t text_size,
                                             std::size_t records,
                                             std::size_t draws)
    : text_(text), text_size_(text_size) {
  const std::size_t mean = text_size / std::max<std::size_t>(records, 1);
  // Sorting and filing take about sixteen bytes a draw beside the record's
  // text: the chunk keeps all of that near a sixteenth of the text.
  chunk_ = draws > 0 ? draws
                     : std::clamp(text_size / 16 / (mean + 16), kLeastChunk,
                                  kMostChunk);
  // Windows of 1 MiB, or more for a text past 64 GiB: small enough that a
  // window's records are close together, few enough (65536 at most) that
  // their counts stay in the caches.
  window_bits_ = std::max(20, static_cast<int>(std::bit_width(text_size)) - 16);
  group_bits_ = std::min(
      static_cast<int>(std::bit_width(kGroupBytes / (mean + kEntryHead))) - 1,
      kMostGroupBits);
  // At least a few groups a chunk, so that a small chunk has several.
  group_bits_ =
      std::clamp(group_bits_, 0,
                 std::max(0, static_cast<int>(std::bit_width(chunk_)) - 3));
}

template <class Offset>
bool SourceOrderGather<Offset>::Write(const Offset* stacked, std::size_t count,
                                      BlockWriter* out) {
  SortByWindow(stacked, count);
  FileRecords(count);
  const std::size_t group_size = std::size_t{1} << group_bits_;
  for (std::size_t g = 0; g * group_size < count; ++g) {
    const std::size_t places = std::min(group_size, count - g * group_size);
    entries_.resize(places);
    for (const std::uint32_t b : groups_[g]) {
      const char* at = blocks_[b];
      const char* end = at + used_[b];
      while (at != end) {
        std::uint32_t head;
        std::memcpy(&head, at, kEntryHead);
        entries_[head >> kLengthBits] = at;
        at += kEntryHead + (head & kLengthMask);
      }
    }
    for (std::size_t i = 0; i < places; ++i) {
      if (i + kAhead < places) Prefetch(entries_[i + kAhead]);
      std::uint32_t head;
      std::memcpy(&head, entries_[i], kEntryHead);
      if (!out->Line({entries_[i] + kEntryHead, head & kLengthMask}))
        return false;
    }
  }
  return true;
}

template <class Offset>
void SourceOrderGather<Offset>::SortByWindow(const Offset* stacked,
                                             std::size_t count) {
  // A counting sort: one pass counts each window's draws, one files them.
  const std::size_t windows = (text_size_ >> window_bits_) + 1;
  starts_.assign(windows + 1, 0);
  for (std::size_t i = 0; i < count; ++i)
    ++starts_[Window(stacked[count - 1 - i]) + 1];
  for (std::size_t w = 0; w < windows; ++w) starts_[w + 1] += starts_[w];
  if (sorted_.size() < count) {
    sorted_.resize(count);
    places_.resize(count);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const Offset offset = stacked[count - 1 - i];
    const std::uint32_t at = starts_[Window(offset)]++;
    sorted_[at] = offset;
    places_[at] = static_cast<std::uint32_t>(i);
  }
}

template <class Offset>
void SourceOrderGather<Offset>::FileRecords(std::size_t count) {
  const std::size_t groups = ((count - 1) >> group_bits_) + 1;
  if (groups_.size() < groups) groups_.resize(groups);
  for (auto& group : groups_) group.clear();
  blocks_taken_ = 0;
  // Where each group's next entry goes, and the end of its block.
  std::vector<char*> next(groups, nullptr);
  std::vector<char*> limit(groups, nullptr);
  const std::uint32_t in_group = (1u << group_bits_) - 1;
  const auto note_used = [&](std::size_t g) {
    used_[groups_[g].back()] =
        static_cast<std::uint32_t>(kBlockBytes - (limit[g] - next[g]));
  };
  for (std::size_t e = 0; e < count; ++e) {
    if (e + kAhead < count) Prefetch(text_ + sorted_[e + kAhead]);
    const std::string_view record = RecordAt(text_, text_size_, sorted_[e]);
    const std::size_t g = places_[e] >> group_bits_;
    if (static_cast<std::size_t>(limit[g] - next[g]) <
        kEntryHead + record.size()) {
      if (next[g] != nullptr) note_used(g);
      next[g] = NewBlock(g);
      limit[g] = next[g] + kBlockBytes;
    }
    const std::uint32_t head = (places_[e] & in_group) << kLengthBits |
                               static_cast<std::uint32_t>(record.size());
    std::memcpy(next[g], &head, kEntryHead);
    std::memcpy(next[g] + kEntryHead, record.data(), record.size());
    next[g] += kEntryHead + record.size();
  }
  for (std::size_t g = 0; g < groups; ++g) {
    if (next[g] != nullptr) note_used(g);
  }
}

template <class Offset>
char* SourceOrderGather<Offset>::NewBlock(std::size_t g) {
  if (blocks_taken_ == blocks_.size()) {
    slabs_.emplace_back(kSlabBlocks * kBlockBytes);
    for (std::size_t b = 0; b < kSlabBlocks; ++b) {
      blocks_.push_back(slabs_.back().data() + b * kBlockBytes);
      used_.push_back(0);
    }
  }
  groups_[g].push_back(static_cast<std::uint32_t>(blocks_taken_));
  return blocks_[blocks_taken_++];
}

template class SourceOrderGather<std::uint32_t>;
template class SourceOrderGather<std::uint64_t>;

}  // namespace pixelsets
