#include "pixelsets/bucket_groups.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "pixelsets/record.h"

namespace pixelsets {
namespace {

// A group's slots, as a power of two: about kGroupBytes of a bucket of
// `size` bytes in `slots` lines.
int GroupShift(std::uint64_t size, std::size_t slots) {
  // A line takes a byte at least: a group never has more slots than
  // kGroupBytes.
  const std::uint64_t per_group = std::min<std::uint64_t>(
      kGroupBytes,
      size == 0 ? slots : std::uint64_t{slots} * kGroupBytes / size);
  return per_group <= 1 ? 0 : static_cast<int>(std::bit_width(per_group)) - 1;
}

// The text's room for a bucket of `size` bytes: each group, of at least
// half kGroupBytes but the last, has its slack.
std::uint64_t TextRoom(std::uint64_t size) {
  return size + (2 * size / kGroupBytes + 2) * kGroupSlack;
}

}  // namespace

std::uint64_t GroupsMemory(std::uint64_t largest) {
  // The text, the chunks read (one to find lines, one to read them in),
  // and where a group's line of each slot lies (a group has at most a slot
  // a byte).
  return TextRoom(largest) + 2 * kGroupChunk + kGroupSlack +
         sizeof(std::uint64_t) * kGroupBytes;
}

LineFinder::LineFinder() : chunk_(new char[kGroupChunk]) {}

Regrouped LineFinder::Find(const BucketFile& file,
                           const std::uint32_t* slot_of_line, std::size_t slots,
                           std::uint32_t* ends, std::uint32_t* notes,
                           BucketLines* lines) {
  static_assert(kMaxLineLength + 1 < (std::size_t{1} << kLengthBits));
  const std::uint64_t size = file.size();
  const int shift = GroupShift(size, slots);
  const std::uint32_t mask = (std::uint32_t{1} << shift) - 1;
  *lines = {slots, shift, {}, slot_of_line, ends, notes};
  const std::size_t groups = slots == 0 ? 0 : ((slots - 1) >> shift) + 1;
  lines->bytes.assign(groups, 0);
  std::uint64_t* bytes = lines->bytes.data();
  // Where each group's next note goes.
  next_.resize(groups);
  for (std::size_t g = 0; g < groups; ++g) next_[g] = g << shift;
  std::size_t line = 0;
  std::uint64_t start = 0;  // of the line
  for (std::uint64_t offset = 0; offset < size;) {
    const auto want = static_cast<std::size_t>(
        std::min<std::uint64_t>(kGroupChunk, size - offset));
    if (!ReadBucketAt(file, offset, chunk_.get(), want))
      return Regrouped::kReadFailed;
    const bool right =
        ForEachLineEnd(chunk_.get(), 0, want, [&](std::size_t i) {
          const std::uint64_t end = offset + i + 1;
          if (line == slots || end - start > kMaxLineLength + 1) return false;
          const std::uint32_t slot = slot_of_line[line];
          const auto length = static_cast<std::uint32_t>(end - start);
          bytes[slot >> shift] += length;
          notes[next_[slot >> shift]++] = (slot & mask) << kLengthBits | length;
          ends[line++] = static_cast<std::uint32_t>(end);  // a bucket < 4 GiB
          start = end;
          return true;
        });
    if (!right) return Regrouped::kChanged;
    offset += want;
  }
  // Every line ended, the last one by the file's last byte.
  if (line != slots || start != size) return Regrouped::kChanged;
  return Regrouped::kDone;
}

BucketGroups::BucketGroups(std::uint64_t largest)
    : chunk_(new char[kGroupChunk + kGroupSlack]()),
      text_(static_cast<std::size_t>(TextRoom(largest))) {}

Regrouped BucketGroups::ReadWhole(const BucketFile& file,
                                  const std::uint32_t* slot_of_line,
                                  std::size_t slots, std::uint64_t* placed) {
  slots_ = slots;
  whole_ = placed;
  const std::uint64_t size = file.size();
  // Room after the last line, which may be copied kCopyAtOnce at once.
  if (size + kCopyAtOnce > text_.size())
    text_.resize(static_cast<std::size_t>(size + kCopyAtOnce));
  const auto want = static_cast<std::size_t>(size);
  if (!ReadBucketAt(file, 0, text_.data(), want)) return Regrouped::kReadFailed;
  std::size_t line = 0;
  std::uint64_t start = 0;  // of the line
  const bool right = ForEachLineEnd(text_.data(), 0, want, [&](std::size_t i) {
    const std::uint64_t end = i + 1;
    if (line == slots || end - start > kMaxLineLength + 1) return false;
    placed[slot_of_line[line++]] = start << kLengthBits | (end - start);
    start = end;
    return true;
  });
  return right && line == slots && start == size ? Regrouped::kDone
                                                 : Regrouped::kChanged;
}

Regrouped BucketGroups::Read(const BucketFile& file, const BucketLines& lines) {
  whole_ = nullptr;
  slots_ = lines.slots;
  shift_ = lines.shift;
  notes_ = lines.notes;
  // Each group's text after the one before, and its slack.
  begin_.resize(lines.bytes.size());
  std::uint64_t room = 0;
  for (std::size_t g = 0; g < begin_.size(); ++g) {
    begin_[g] = room;
    room += lines.bytes[g] + kGroupSlack;
  }
  if (room > text_.size()) text_.resize(static_cast<std::size_t>(room));
  end_ = begin_;
  const int shift = shift_;
  const std::uint32_t* slot_of_line = lines.slot_of_line;
  const std::uint32_t* ends = lines.ends;
  char* text = text_.data();
  const char* chunk = chunk_.get();
  std::uint64_t* end = end_.data();
  std::uint32_t start = 0;  // of line j
  for (std::size_t j = 0; j < slots_;) {
    // As many whole lines as a chunk holds (a line is far shorter).
    const std::uint32_t from = start;
    std::size_t last = j;
    while (last < slots_ && ends[last] - from <= kGroupChunk) ++last;
    const auto want = static_cast<std::size_t>(ends[last - 1] - from);
    if (!ReadBucketAt(file, from, chunk_.get(), want))
      return Regrouped::kReadFailed;
    for (; j < last; ++j) {
      const std::size_t g = slot_of_line[j] >> shift;
      const std::uint32_t length = ends[j] - start;
      CopyAtOnce(text + end[g], chunk + (start - from), length);
      end[g] += length;
      start = ends[j];
    }
  }
  return Regrouped::kDone;
}

}  // namespace pixelsets
