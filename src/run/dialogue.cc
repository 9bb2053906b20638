#include "run/dialogue.h"

namespace particion {
namespace {

// White space as the C locale's isspace sees it, without its locale lookup.
bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

}  // namespace

bool ReadToken(std::FILE* in, std::string* token) {
  token->clear();
  int c;
  do {
    c = std::getc(in);
  } while (c != EOF && IsSpace(c));
  if (c == EOF) return false;
  while (c != EOF && !IsSpace(c)) {
    if (token->size() < kMaxToken) token->push_back(static_cast<char>(c));
    c = std::getc(in);
  }
  // Left unread so that DiscardLine knows whether the line has ended.
  if (c != EOF) std::ungetc(c, in);
  return true;
}

void DiscardLine(std::FILE* in) {
  int c;
  do {
    c = std::getc(in);
  } while (c != EOF && c != '\n');
}

bool ParseCount(std::string_view token, std::int32_t* value) {
  std::size_t i = 0;
  bool negative = false;
  if (!token.empty() && (token[0] == '+' || token[0] == '-')) {
    negative = token[0] == '-';
    i = 1;
  }
  if (i == token.size()) return false;
  std::int64_t magnitude = 0;
  for (; i < token.size(); ++i) {
    if (token[i] < '0' || token[i] > '9') return false;
    magnitude = magnitude * 10 + (token[i] - '0');
    if (magnitude > 2147483647) return false;
  }
  if (negative && magnitude != 0) return false;
  *value = static_cast<std::int32_t>(magnitude);
  return true;
}

Answer AskCount(std::FILE* in, std::FILE* out, const char* prompt,
                std::int32_t bound, std::int32_t* count) {
  std::string token;
  for (;;) {
    std::fprintf(out, prompt, bound);
    // A script waiting for the prompt on a pipe must see it now.
    std::fflush(out);
    if (!ReadToken(in, &token)) return Answer::kEndOfInput;
    if (!ParseCount(token, count)) {
      std::fputs("El numero introducido no es valido\n", out);
      DiscardLine(in);
    } else if (*count > bound) {
      std::fputs("El numero introducido no es menor\n", out);
    } else {
      return Answer::kAccepted;
    }
  }
}

}  // namespace particion
