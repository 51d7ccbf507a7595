// Where an answer ends on the links without END, through the real tool: a '#' or '"' inside a
// word of a text answer must not be taken for a block or string (the answer would only end at
// the timeout), while blocks still arrive whole, on a raw socket and on a serial line, to the
// console and into /o=.
#include "e2e.h"

namespace kobrant::test {
namespace {

class answer_end : public kobrant_e2e, public ::testing::WithParamInterface<const char*> {
 protected:
  answer_end() : kobrant_e2e(GetParam() == std::string_view("serial")
                                 ? std::vector<std::string>{"--serial"}
                                 : std::vector<std::string>{}) {}
};

struct answer_case {
  std::string command;
  std::string answer;
};

std::vector<answer_case> answer_cases() {
  return {
      {"ECHO? Serial #15", "Serial #15\n"},
      {"ECHO? 12\" display", "12\" display\n"},
      {"ECHO? Item #3, 2\" pipe; #2 \"x", "Item #3, 2\" pipe; #2 \"x\n"},
      {"ECHO? curv #15", "curv #15\n"},
      {"ECHO? CURV #15abcde", "CURV #15abcde\n"},
      {"BLOCK? 600", block_answer(600)},
  };
}

TEST_P(answer_end, text_answers_end_at_their_newline_and_blocks_arrive_whole) {
  // A timeout far beyond the few milliseconds an answer takes: an answer that only ends with it
  // fails with a timeout status.
  const std::string timeout = "/t=10000";
  for (const auto& c : answer_cases()) {
    SCOPED_TRACE(c.command);
    const auto console = run({"/c=" + c.command, timeout});
    ASSERT_EQ(console.status, 0) << describe(console);
    EXPECT_EQ(console.out, echo(c.command) + answer(c.answer));
    EXPECT_EQ(console.err, "");

    const auto out_file = files / "answer.bin";
    const auto to_file = run({"/c=" + c.command, timeout, "/o=" + out_file.string()});
    ASSERT_EQ(to_file.status, 0) << describe(to_file);
    EXPECT_EQ(to_file.out, echo(c.command));
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, c.answer) << first_difference(c.answer, got);
  }
}

INSTANTIATE_TEST_SUITE_P(links_without_end, answer_end, ::testing::Values("socket", "serial"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace kobrant::test
