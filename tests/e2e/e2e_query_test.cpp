// A query from start to end: the command goes out with its newline, the answer comes back
// and lands on the console, bare with /l, or in the /o= file; /w and /r decide whether a
// read happens at all.
#include "e2e.h"

namespace kobrant::test {
namespace {

using query = kobrant_e2e;

const std::string idn(identification);

TEST_F(query, idn_prints_the_echo_then_the_answer_with_its_newline) {
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));  // the answer line, then an empty line
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"}}));
}

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

TEST_F(query, output_file_with_no_echo_prints_nothing) {
  const auto out_file = files / "answer.bin";
  const auto result = run({"/c=*IDN?", "/o=" + out_file.string(), "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "");
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

TEST_F(query, no_auto_query_sends_but_never_reads) {
  for (const auto& flags : std::vector<std::vector<std::string>>{{"/w"}, {"/w", "/r"}}) {
    SCOPED_TRACE(flags.size() == 1 ? "/w" : "/w /r");
    std::vector<std::string> args = {"/c=*IDN?"};
    args.insert(args.end(), flags.begin(), flags.end());
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo("*IDN?"));
    EXPECT_EQ(result.err, "");
  }
  // kobrant may be gone before the simulator has read everything.
  EXPECT_EQ(sim.wait_for_record(2), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"},
                                                               {"SOCKET", false, "*IDN?\n"}}));
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

TEST_F(query, force_read_without_a_command_reads_and_sends_nothing) {
  const auto result = run({"/r", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

TEST_F(query, force_read_and_no_auto_query_without_a_command_does_nothing_and_succeeds) {
  const auto result = run({"/r", "/w"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

class query_over_ipv6 : public kobrant_e2e {
 protected:
  query_over_ipv6() : kobrant_e2e({"--address", "::1"}) {}
};

TEST_F(query_over_ipv6, idn) {
  ASSERT_TRUE(sim.resource().starts_with("TCPIP0::[::1]::")) << sim.resource();
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"}}));
}

}  // namespace
}  // namespace kobrant::test
