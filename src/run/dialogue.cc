#include "run/dialogue.h"

#include "pixelsets/decimal.h"
#include "pixelsets/messages.h"

namespace particion {
namespace {

// White space as the C locale's isspace sees it, without its locale lookup.
bool IsSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// Prints a question; a script waiting for it on a pipe must see it now.
void Ask(std::FILE* out, const char* question) {
  std::fputs(question, out);
  std::fflush(out);
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

Answer AskSource(std::FILE* in, std::FILE* out, std::FILE* err,
                 const TrySource& try_source) {
  std::string typed;
  pixelsets::Refusal refusal;
  for (;;) {
    Ask(out, pixelsets::kAskSource);
    if (!ReadToken(in, &typed)) return Answer::kEndOfInput;
    if (try_source(typed, &refusal)) return Answer::kAccepted;
    if (refusal.ends_run) return Answer::kEndsRun;
    std::fprintf(out, "%s\n\n", refusal.reason.c_str());
    if (!refusal.detail.empty()) {
      // The name may hold any byte the user typed, a zero byte too.
      std::fwrite(refusal.detail.data(), 1, refusal.detail.size(), err);
      std::fputc('\n', err);
      std::fflush(err);
    }
  }
}

Answer AskCount(std::FILE* in, std::FILE* out, const char* prompt,
                std::int32_t bound, std::int32_t* count) {
  std::string token;
  for (;;) {
    std::fprintf(out, prompt, bound);
    std::fflush(out);
    if (!ReadToken(in, &token)) return Answer::kEndOfInput;
    if (!pixelsets::ParseCount(token, count)) {
      std::fputs(pixelsets::kNotValid, out);
      DiscardLine(in);
    } else if (*count > bound) {
      std::fputs(pixelsets::kNotLess, out);
    } else {
      return Answer::kAccepted;
    }
  }
}

}  // namespace particion
