// The rules a source's lines must keep, as every way of reading a source
// meets them, line by line in order: the first line is the header, whose
// number becomes the header value; every other line is a record; no line is
// longer than kMaxLineLength; there are no more records than a run can count.

#ifndef PARTICION_SRC_PIXELSETS_LINE_RULES_H_
#define PARTICION_SRC_PIXELSETS_LINE_RULES_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "pixelsets/record.h"

namespace pixelsets {

class LineRules {
 public:
  LineRules(std::uint64_t max_records, std::int32_t* caract, std::string* err)
      : max_records_(max_records), caract_(caract), err_(err) {}

  // Takes text[start, end), its "\n" excluded, as the next line. False, with
  // the reason in `*err`, when it breaks a rule; `*record` says whether it
  // is a record rather than the header.
  bool Take(const char* text, std::size_t start, std::size_t end, bool* record);

  // Takes `count` records at once, found by another pass over the text; the
  // first of them that is too long, if any, is the `too_long`-th (counted
  // from 0), and was not counted. False, with the reason, as above.
  bool TakeRecords(std::uint64_t count, std::uint64_t too_long);

  // Fails, with the reason for the line being read: an unfinished line that
  // is already too long, or an empty source.
  bool FailLongLine();
  bool FailIfEmpty();
  bool Fail(std::string reason);

  // Whether `count` more records than those taken would be too many.
  bool TooMany(std::uint64_t count) const {
    return records_ + count > max_records_;
  }
  std::uint64_t records() const { return records_; }
  bool header_taken() const { return line_ > 1; }

 private:
  std::uint64_t max_records_;
  std::int32_t* caract_;
  std::string* err_;
  std::uint64_t line_ = 1;  // the number of the line being read
  std::uint64_t records_ = 0;
};

// Takes through `rules` every line of text[*line_start, len) that a "\n"
// ends, calling `on_record(start)` for each record that starts at `start`;
// `*line_start` ends where the unfinished line starts, and `*scan` (where
// the search for its end goes on) at `len`. False once a rule is broken.
template <class OnRecord>
bool TakeLines(const char* text, std::size_t len, std::size_t* line_start,
               std::size_t* scan, LineRules* rules, OnRecord on_record) {
  const bool taken = ForEachLineEnd(text, *scan, len, [&](std::size_t end) {
    bool record = false;
    if (!rules->Take(text, *line_start, end, &record)) return false;
    if (record) on_record(*line_start);
    *line_start = end + 1;
    return true;
  });
  *scan = len;
  return taken;
}

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_LINE_RULES_H_
