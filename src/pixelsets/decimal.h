// Decimal numbers as the user types them and as a source's header holds
// them: an optional sign, then digits.

#ifndef PARTICION_SRC_PIXELSETS_DECIMAL_H_
#define PARTICION_SRC_PIXELSETS_DECIMAL_H_

#include <cstdint>
#include <string_view>

namespace pixelsets {

// Accepts a count: an optional sign then decimal digits only, with a value
// from 0 to 2147483647 ("-0" is 0). Returns false for anything else.
bool ParseCount(std::string_view token, std::int32_t* value);

// Reads a signed decimal integer from the start of `text` as sscanf "%d"
// would (blanks first, an optional sign, digits; the rest is ignored).
// Returns false if there is none or it does not fit in 32 bits.
bool ParseHeader(std::string_view text, std::int32_t* value);

}  // namespace pixelsets

#endif  // PARTICION_SRC_PIXELSETS_DECIMAL_H_
