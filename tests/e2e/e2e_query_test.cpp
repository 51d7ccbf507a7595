// A query over a raw socket (the runs every transport shares are in e2e_transports_test.cpp):
// the answer bare with /l or in the /o= file, a file emptied first, a query split over
// buffers, and /r with a command that asks nothing.
#include "e2e.h"

namespace kobrant::test {
namespace {

using query = kobrant_e2e;

const std::string idn(identification);

TEST_F(query, no_echo_prints_the_bare_answer) {
  const auto result = run({"/c=*IDN?", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, idn);
  EXPECT_EQ(result.err, "");
}

TEST_F(query, output_file_gets_the_answer_and_the_console_only_the_echo) {
  const auto out_file = files / "answer.bin";
  const auto result = run({"/c=*IDN?", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?"));
  EXPECT_EQ(read_file(out_file), idn);
}


TEST_F(query, output_file_is_truncated_first) {
  const auto out_file = files / "answer.bin";
  write_file(out_file, std::string(5000, 'x'));
  const auto result = run({"/c=*IDN?", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(read_file(out_file), idn);
}

TEST_F(query, a_question_mark_only_in_the_last_chunk_still_makes_a_query) {
  const auto result = run({"/c=*IDN?", "/b=4"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN") + echo("?") + answer_pieces(idn, 4));
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"}}));
}

TEST_F(query, force_read_reads_after_a_command_without_question_mark) {
  // The instrument answers nothing to a plain command, so a read can only end in a timeout:
  // that timeout is the proof that /r read, where the same run without /r ends at once.
  const auto plain = run({"/c=ECHO no question", "/t=300"});
  ASSERT_EQ(plain.status, 0) << describe(plain);
  EXPECT_EQ(plain.out, echo("ECHO no question"));

  const auto forced = run({"/c=ECHO no question", "/t=300", "/r"});
  EXPECT_EQ(forced.status, exit_visa_failure) << describe(forced);
  EXPECT_EQ(forced.signed_status(), -2);
  EXPECT_EQ(forced.out, echo("ECHO no question"));
  EXPECT_TRUE(is_status_line(forced.err, visa_timeout));
}

TEST_F(query, force_read_and_no_auto_query_without_a_command_does_nothing_and_succeeds) {
  const auto result = run({"/r", "/w"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

}  // namespace
}  // namespace kobrant::test
