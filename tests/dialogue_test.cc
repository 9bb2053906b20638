#include "run/dialogue.h"

#include <gtest/gtest.h>

#include <string>

#include "test_util.h"

namespace {

using particion::Answer;
using particion::AskCount;

// The bytes the dialogue prints and what it accepts, for typed input.
TEST(AskCount, RefusesAndKeepsOrDropsTheRestOfTheLine) {
  const struct {
    const char* input;
    std::int32_t bound;
    Answer answer;
    std::int32_t count;
    const char* output;  // with P standing for one prompt
    const char* unread;
  } cases[] = {
      {"4\n", 4, Answer::kAccepted, 4, "P", "\n"},
      {"  0 9\n", 0, Answer::kAccepted, 0, "P", " 9\n"},
      {"5 3\n", 4, Answer::kAccepted, 3, "P<menor>P", "\n"},
      {"x 3\n2\n", 4, Answer::kAccepted, 2, "P<valido>P", "\n"},
      {"-1\n\n\n1", 4, Answer::kAccepted, 1, "P<valido>P", ""},
      {"12abc", 20, Answer::kEndOfInput, 0, "P<valido>P", ""},
      {"", 4, Answer::kEndOfInput, 0, "P", ""},
      {"9 9 9", 4, Answer::kEndOfInput, 0, "P<menor>P<menor>P<menor>P", ""},
  };
  for (const auto& c : cases) {
    std::FILE* in = testutil::FileWith(c.input);
    std::FILE* out = std::tmpfile();
    std::int32_t count = 0;
    const Answer answer = AskCount(in, out, "P", c.bound, &count);
    std::string output = testutil::ReadAll(out);
    for (auto [from, to] :
         {std::pair<std::string, std::string>{
              "El numero introducido no es menor\n", "<menor>"},
          {"El numero introducido no es valido\n", "<valido>"}}) {
      for (std::size_t at; (at = output.find(from)) != std::string::npos;)
        output.replace(at, from.size(), to);
    }
    std::string unread;
    for (int ch; (ch = std::getc(in)) != EOF;) unread += static_cast<char>(ch);
    const std::string label = std::string("input \"") + c.input + "\"";
    EXPECT_EQ(answer, c.answer) << label;
    if (answer == Answer::kAccepted) {
      EXPECT_EQ(count, c.count) << label;
    }
    EXPECT_EQ(output, c.output) << label;
    EXPECT_EQ(unread, c.unread) << label;
    std::fclose(in);
    std::fclose(out);
  }
}

}  // namespace
