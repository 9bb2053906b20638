#include "pixelsets/decimal.h"

namespace pixelsets {
namespace {

// An optional sign and the digits after it, read from the start of a text.
struct Decimal {
  std::size_t length = 0;  // what was read; 0 when no digit follows
  bool negative = false;
  std::int64_t magnitude = 0;  // stops growing past 2^31
};

Decimal ReadDecimal(std::string_view text) {
  Decimal d;
  std::size_t i = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    d.negative = text[0] == '-';
    i = 1;
  }
  const std::size_t digits = i;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (d.magnitude <= std::int64_t{2147483648})
      d.magnitude = d.magnitude * 10 + (text[i] - '0');
  }
  if (i > digits) d.length = i;
  return d;
}

}  // namespace

bool ParseCount(std::string_view token, std::int32_t* value) {
  const Decimal d = ReadDecimal(token);
  if (d.length == 0 || d.length != token.size() || d.magnitude > 2147483647 ||
      (d.negative && d.magnitude != 0))
    return false;
  *value = static_cast<std::int32_t>(d.magnitude);
  return true;
}

bool ParseHeader(std::string_view text, std::int32_t* value) {
  constexpr std::string_view kBlanks = " \t\n\v\f\r";  // isspace in "C"
  const std::size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return false;
  const Decimal d = ReadDecimal(text.substr(start));
  const std::int64_t signed_value = d.negative ? -d.magnitude : d.magnitude;
  if (d.length == 0 || signed_value > 2147483647 ||
      signed_value < -std::int64_t{2147483648})
    return false;
  *value = static_cast<std::int32_t>(signed_value);
  return true;
}

}  // namespace pixelsets
