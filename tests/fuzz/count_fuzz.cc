// Fuzzes the count reader: no token outside 0..2147483647 is ever accepted,
// every number in range is, and asking never loops without reading.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pixelsets/decimal.h"
#include "run/dialogue.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
  }
}

// Whether `token` is a sign and digits whose value lies in 0..2147483647,
// decided on the text alone.
bool ModelCount(const std::string& token) {
  std::size_t i = token.empty() || (token[0] != '+' && token[0] != '-') ? 0 : 1;
  if (i == token.size()) return false;
  if (token.find_first_not_of("0123456789", i) != std::string::npos)
    return false;
  const std::size_t first = token.find_first_not_of('0', i);
  if (first == std::string::npos) return true;  // all zeros: 0, even "-0"
  if (token[0] == '-') return false;
  const std::string digits = token.substr(first);
  return digits.size() < 10 || (digits.size() == 10 && digits <= "2147483647");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::int32_t value = -1;
  const bool ok = pixelsets::ParseCount(text, &value);
  Check(ok == ModelCount(text), "accepts exactly the counts in range");
  if (ok) {
    Check(value >= 0 && value == std::strtoll(text.c_str(), nullptr, 10),
          "value of an accepted count");
  }

  // The whole question on this input as typed answers: it must end, and an
  // accepted count lies between 0 and the bound.
  if (size < 4) return 0;
  std::int32_t bound;
  std::memcpy(&bound, data, sizeof bound);
  bound &= 0x7fffffff;
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::fopen("/dev/null", "w");
  std::fwrite(data + 4, 1, size - 4, in);
  std::rewind(in);
  std::int32_t count = -1;
  if (particion::AskCount(in, out, "%d", bound, &count) ==
      particion::Answer::kAccepted) {
    Check(count >= 0 && count <= bound, "accepted count within its bound");
  }
  std::fclose(in);
  std::fclose(out);
  return 0;
}
