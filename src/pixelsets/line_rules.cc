#include "pixelsets/line_rules.h"

#include <string_view>
#include <utility>

#include "pixelsets/decimal.h"
#include "pixelsets/messages.h"

namespace pixelsets {

bool LineRules::Take(const char* text, std::size_t start, std::size_t end,
                     bool* record) {
  if (TooLong(text, start, end)) return FailLongLine();
  *record = line_ > 1;
  if (*record) {
    if (TooMany(1)) return Fail(kTooMany);
    ++records_;
  } else {
    // The header's number, from the line less its "\r", up to a zero byte.
    const std::string_view header = RecordOf({text + start, end - start});
    if (!ParseHeader(header, caract_)) return Fail(kBadHeader);
  }
  ++line_;
  return true;
}

bool LineRules::TakeRecords(std::uint64_t count, std::uint64_t too_long) {
  if (too_long < count) {
    line_ += too_long;
    return FailLongLine();
  }
  line_ += count;
  records_ += count;
  return true;
}

bool LineRules::FailLongLine() { return Fail(LongLine(line_)); }

bool LineRules::FailIfEmpty() { return line_ > 1 || Fail(kBadHeader); }

bool LineRules::Fail(std::string reason) {
  *err_ = std::move(reason);
  return false;
}

}  // namespace pixelsets
