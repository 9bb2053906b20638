// A bucket of the streamed draw put in draw order with the caches' help. Its
// lines lie in the order of their records, which meets the draw order at
// random: met so across a whole bucket, each short line would wait on
// memory. So its file is read twice, a chunk at a time, first to find its
// lines, then to regroup them by runs of slots (groups) small enough for the
// caches; each group is put in slot order where it lies. A bucket of long
// lines is read once, whole, and each line met where it lies.

#ifndef PARTICION_SRC_PIXELSETS_BUCKET_GROUPS_H_
#define PARTICION_SRC_PIXELSETS_BUCKET_GROUPS_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>
#include <vector>

#include "pixelsets/buckets.h"
#include "pixelsets/draw_positions.h"
#include "pixelsets/platform.h"
#include "pixelsets/prefetch.h"
#include "pixelsets/record.h"

namespace pixelsets {

// About how much text a group holds: it, and the group's notes, stay
// within the second-level cache.
inline constexpr std::size_t kGroupBytes = std::size_t{256} << 10;
// The bucket's file is read this much at a time.
inline constexpr std::size_t kGroupChunk = std::size_t{1} << 20;
// Room after each group's text, where its last line is copied at once.
inline constexpr std::size_t kGroupSlack = kCopyAtOnce;

// Lines of at least this many bytes on average (line end included) are met
// where they lie in their bucket, read whole in one piece: the wait on
// memory for each costs less than reading the bucket twice and copying it
// into groups (a list of 66-byte lines: 60 ms a bucket of 64 MiB, against
// 92 ms).
inline constexpr std::uint64_t kWholeFrom = 24;

// Whether a bucket of `size` bytes in `slots` lines is read whole.
inline bool ReadsWhole(std::uint64_t size, std::size_t slots) {
  return size >= kWholeFrom * slots;
}

// What a bucket's reading came to.
enum class Regrouped { kDone, kReadFailed, kChanged };

// A line's note: its slot within its group, then its length (with its line
// end) in this many bits.
inline constexpr int kLengthBits = 12;

// The memory that regrouping buckets of up to `largest` bytes takes.
std::uint64_t GroupsMemory(std::uint64_t largest);

// What the first reading of a bucket found: its lines, and how they fall
// into groups.
struct BucketLines {
  std::size_t slots = 0;             // its lines
  int shift = 0;                     // a group takes 2^shift slots
  std::vector<std::uint64_t> bytes;  // of each group
  const std::uint32_t* slot_of_line = nullptr;
  const std::uint32_t* ends = nullptr;  // where each line ends
  // Each line's note, group after group, in line order within a group.
  const std::uint32_t* notes = nullptr;
};

// Reads a bucket's file through, a chunk at a time, to find its lines.
class LineFinder {
 public:
  LineFinder();

  // Finds the `slots` lines of the bucket in `file`, the slot of each in
  // `slot_of_line`: where each ends, in `ends`, each one's note,
  // in `notes` (room for `slots` words each), and what each group takes, in
  // `*lines`. kReadFailed leaves the reason in errno; kChanged means the
  // file does not hold that many lines, or holds a line no record has.
  Regrouped Find(const BucketFile& file, const std::uint32_t* slot_of_line,
                 std::size_t slots, std::uint32_t* ends, std::uint32_t* notes,
                 BucketLines* lines);

 private:
  std::unique_ptr<char[]> chunk_;
  std::vector<std::size_t> next_;  // where each group's next note goes
};

// Reads a bucket's lines into their groups, and writes them in slot order.
class BucketGroups {
 public:
  // For buckets of up to `largest` bytes (more is taken if needed).
  explicit BucketGroups(std::uint64_t largest);

  // Reads the lines found in `file` into their groups; `lines` stays in use
  // until the bucket is written. kReadFailed leaves the reason in errno.
  Regrouped Read(const BucketFile& file, const BucketLines& lines);

  // Reads a bucket that ReadsWhole() in one piece, `file` of `slots` lines, the
  // slot of each in `slot_of_line`, noting where each slot's line lies in
  // `placed` (room for `slots` words; in use until the bucket is written).
  // kReadFailed leaves the reason in errno; kChanged means the file does not
  // hold that many lines, or holds a line no record has.
  Regrouped ReadWhole(const BucketFile& file, const std::uint32_t* slot_of_line,
                      std::size_t slots, std::uint64_t* placed);

  // Gives each line read to `line(slot, text)`, in slot order, the text
  // without its line end; kGroupSlack bytes from its start may be read.
  // False once `line` is.
  template <class Line>
  bool Write(Line&& line);

 private:
  std::unique_ptr<char[]> chunk_;
  LargeVector<char> text_;
  std::size_t slots_ = 0;
  int shift_ = 0;
  // Per group: where its text starts, and where it ends.
  std::vector<std::uint64_t> begin_;
  std::vector<std::uint64_t> end_;
  const std::uint32_t* notes_ = nullptr;
  // A group's lines, per slot: where each starts, then its length; or for
  // a bucket read whole, all of its slots'.
  std::vector<std::uint64_t> placed_;
  const std::uint64_t* whole_ = nullptr;
};

template <class Line>
bool BucketGroups::Write(Line&& line) {
  constexpr std::uint32_t kLength = (std::uint32_t{1} << kLengthBits) - 1;
  const char* text = text_.data();
  if (whole_ != nullptr) {
    // Lines met at random across the bucket: each is fetched ahead, with
    // the cache line after its first, where most long lines run on.
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < slots_; ++i) {
      if (i + kAhead < slots_) {
        const char* ahead = text + (whole_[i + kAhead] >> kLengthBits);
        Prefetch(ahead);
        Prefetch(ahead + 64);
      }
      const std::uint64_t place = whole_[i];
      if (!line(i, std::string_view(text + (place >> kLengthBits),
                                    (place & kLength) - 1)))
        return false;
    }
    return true;
  }
  const std::size_t per_group = std::size_t{1} << shift_;
  placed_.resize(per_group);
  std::uint64_t* placed = placed_.data();
  for (std::size_t first = 0, g = 0; first < slots_; first += per_group, ++g) {
    const std::size_t lines = std::min(per_group, slots_ - first);
    // The group's lines lie one after another in line order.
    std::uint64_t at = begin_[g];
    for (std::size_t k = 0; k < lines; ++k) {
      const std::uint32_t note = notes_[first + k];
      placed[note >> kLengthBits] = at << kLengthBits | (note & kLength);
      at += note & kLength;
    }
    for (std::size_t i = 0; i < lines; ++i) {
      const std::uint64_t place = placed[i];
      if (!line(first + i, std::string_view(text + (place >> kLengthBits),
                                            (place & kLength) - 1)))
        return false;
    }
  }
  return true;
}

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_BUCKET_GROUPS_H_
