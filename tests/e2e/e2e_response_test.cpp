// Reading answers on the console over a raw socket (blocks into files and answers over several
// reads, on every transport, are in e2e_transports_test.cpp): a long answer bare with /l, and
// each piece shown up to its first zero byte.
#include "e2e.h"

namespace kobrant::test {
namespace {

using responses = kobrant_e2e;

TEST_F(responses, a_long_answer_with_no_echo_is_printed_whole_and_bare) {
  const auto result = run({"/c=TEXT? 100000", "/b=1000", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  const std::string expected = text_pattern(100'000) + "\n";
  EXPECT_EQ(result.out, expected) << first_difference(expected, result.out);
}

TEST_F(responses, the_console_shows_each_piece_up_to_its_first_zero_byte) {
  // "#15" 00 01 02 03 04 "\n": whole, the line stops at the zero; in pieces of 4, the second
  // piece has no zero and shows in full.
  const auto whole = run({"/c=BLOCK? 5"});
  ASSERT_EQ(whole.status, 0) << describe(whole);
  EXPECT_EQ(whole.out, echo("BLOCK? 5") + answer("#15"));

  const auto split = run({"/c=BLOCK? 5", "/b=4"});
  ASSERT_EQ(split.status, 0) << describe(split);
  EXPECT_EQ(split.out, echo_pieces("BLOCK? 5", 4) + answer("#15") +
                           answer(std::string("\x01\x02\x03\x04", 4)) + answer("\n"));
}

}  // namespace
}  // namespace kobrant::test
