// The questions of the dialogue: the source's name, asked until a name is
// taken, and the two counts, each asked until it is within its bound.
// Answers are whitespace-separated tokens on standard input.

#ifndef PARTICION_SRC_RUN_DIALOGUE_H_
#define PARTICION_SRC_RUN_DIALOGUE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "pixelsets/source_file.h"

namespace particion {

// Longest token kept: one more character than the longest file name, so that
// a longer name is still seen as too long.
inline constexpr std::size_t kMaxToken = 2000;

// Skips white space, then reads one token to its end, leaving the character
// that ended it unread. Keeps its first kMaxToken characters in `*token` and
// drops the rest, so that an endless token takes no memory. Returns false at
// the end of input.
bool ReadToken(std::FILE* in, std::string* token);

// Drops the rest of the current input line, its line end included.
void DiscardLine(std::FILE* in);

// Outcome of one question: taken, input ended, or a refusal that ends the
// run (Refusal::ends_run), said by the caller.
enum class Answer { kAccepted, kEndOfInput, kEndsRun };

// Tries a typed source name: true when it is taken, else the refusal.
using TrySource =
    std::function<bool(const std::string& typed, pixelsets::Refusal*)>;

// Asks for the source's name until `try_source` takes one. A refusal prints
// its reason and a blank line on `out`, its detail (if any) on `err`, and
// the question comes again; one that ends the run prints nothing and ends
// the dialogue.
Answer AskSource(std::FILE* in, std::FILE* out, std::FILE* err,
                 const TrySource& try_source);

// Asks with `prompt` (a printf format with one %d for `bound`) until a count
// from 0 to `bound` is typed. A token that is not a count is refused and the
// rest of its line dropped; a count above `bound` is refused and the rest of
// the line kept as the next answers.
Answer AskCount(std::FILE* in, std::FILE* out, const char* prompt,
                std::int32_t bound, std::int32_t* count);

}  // namespace particion

#endif  // PARTICION_SRC_RUN_DIALOGUE_H_
