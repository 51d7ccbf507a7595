// kobrant against kobrant-sim, the same runs over every transport: queries, commands in
// buffer-sized writes, command files and stdin, blocks into files at every buffer size, long
// answers on the console, silence, stalls and drops mid-answer, and an instrument nobody
// serves. What a command looks like to the instrument depends on the link (END on the last
// write, or the newline kobrant adds); the runs' output does not.
#include <filesystem>

#include "e2e.h"
#include "raw_client.h"

namespace kobrant::test {
namespace {

const std::string idn(identification);

using every_transport = transport_e2e;

TEST_P(every_transport, a_query_prints_the_echo_then_the_answer_and_the_instrument_gets_one_message) {
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(messages(), sent_as(row(), "*IDN?", default_buffer));

  const auto out_file = files / "answer.bin";
  const auto filed = run({"/c=*IDN?", "/o=" + out_file.string(), "/l"});
  ASSERT_EQ(filed.status, 0) << describe(filed);
  EXPECT_EQ(filed.out, "");
  EXPECT_EQ(read_file(out_file), idn);
}

TEST_P(every_transport, text_longer_than_the_buffer_goes_in_writes_and_arrives_as_one_command) {
  const auto result = run({"/b=4", "/c=ABCDEFGHIJ"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ABCD") + echo("EFGH") + echo("IJ"));
  EXPECT_EQ(result.err, "");
  // No answer is due, so kobrant may be gone before the simulator has read everything.
  const auto expected = sent_as(row(), "ABCDEFGHIJ", 4);
  EXPECT_EQ(wait_for_messages(*sim, row().record_tag, expected.size()), expected);
}

TEST_P(every_transport, every_buffer_size_around_the_command_length) {
  // 6 bytes: buffers below, at and above the length, and one that divides it exactly.
  const std::string command = "ABCDEF";
  std::vector<record_entry> expected;
  for (std::size_t size = 1; size <= 8; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/b=" + std::to_string(size), "/c=" + command});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces(command, size));
    const auto these = sent_as(row(), command, size);
    expected.insert(expected.end(), these.begin(), these.end());
    // One run's messages are all in before the next run's start: the record keeps their order.
    ASSERT_EQ(wait_for_messages(*sim, row().record_tag, expected.size()).size(), expected.size());
  }
  EXPECT_EQ(messages(), expected);
}

TEST_P(every_transport, a_file_whose_query_is_in_its_last_buffer_arrives_whole_and_is_answered) {
  const std::string content = text_lines(450'000, 900) + "*IDN?\n";
  const auto command_file = files / "command.txt";
  write_file(command_file, content);
  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces(content, default_buffer) + answer(idn));
  const auto got = messages();
  EXPECT_EQ(joined_bytes(got), content) << first_difference(content, joined_bytes(got));
  EXPECT_EQ(got, sent_as(row(), content, default_buffer));
}

TEST_P(every_transport, a_command_file_arrives_as_the_bytes_it_holds) {
  // Carriage returns, 0x1A (end of file to a text-mode reader) and zero bytes, alone, in pairs,
  // before newlines, at the start and at the end.
  static constexpr char bytes[] = "\x1a" "A\r\nB\r\r\n\0\x1a\r\n" "C\0D\x1a\x1a\n\r\0E\r\n";
  const std::string content(bytes, sizeof bytes - 1);
  const auto command_file = files / "binary.cmd";
  write_file(command_file, content);
  // In one write, then in writes of four bytes: each run's messages follow the last run's.
  std::vector<record_entry> expected;
  for (std::size_t size : {default_buffer, std::size_t{4}}) {
    SCOPED_TRACE(size);
    const auto result = run({"/c=" + command_file.string(), "/b=" + std::to_string(size), "/l"});
    ASSERT_EQ(result.status, 0) << describe(result);
    const auto sent = sent_as(row(), content, size);
    expected.insert(expected.end(), sent.begin(), sent.end());
    EXPECT_EQ(wait_for_messages(*sim, row().record_tag, expected.size()), expected);
  }
}

TEST_P(every_transport, a_command_piped_on_stdin_is_read_to_its_end) {
  if (tool_is_windows()) GTEST_SKIP() << "/dev/stdin names nothing on Windows";
  const auto result = run({"/c=/dev/stdin"}, "ECHO? piped\n");
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ECHO? piped\n") + answer("piped\n"));
  EXPECT_EQ(messages(), sent_as(row(), "ECHO? piped\n", default_buffer));
}

TEST_P(every_transport, no_auto_query_sends_but_never_reads) {
  for (const auto& flags : std::vector<std::vector<std::string>>{{"/w"}, {"/w", "/r"}}) {
    SCOPED_TRACE(flags.size() == 1 ? "/w" : "/w /r");
    std::vector<std::string> args = {"/c=*IDN?"};
    args.insert(args.end(), flags.begin(), flags.end());
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo("*IDN?"));
    EXPECT_EQ(result.err, "");
  }
  const auto once = sent_as(row(), "*IDN?", default_buffer);
  auto expected = once;
  expected.insert(expected.end(), once.begin(), once.end());
  EXPECT_EQ(wait_for_messages(*sim, row().record_tag, expected.size()), expected);
}

TEST_P(every_transport, force_read_without_a_command_reads_sends_nothing_and_times_out) {
  // Nothing is asked, so the instrument has nothing to say: the read that /r forces ends in
  // the timeout.
  const auto result = run({"/r", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
  EXPECT_EQ(messages(), std::vector<record_entry>{});
}

// Blocks hold zero bytes and newlines: a reader that stops at a newline inside one, or loses
// bytes where a read or a message ends, shows here.
TEST_P(every_transport, a_block_lands_in_the_file_byte_for_byte_at_every_size) {
  struct block_case {
    std::size_t n;
    std::size_t buffer;
  };
  for (const auto& c : std::vector<block_case>{{0, default_buffer},
                                               {1, default_buffer},
                                               {600, default_buffer},
                                               {100'000, default_buffer},
                                               {2'000'000, default_buffer},
                                               {1'000'000, 4096},
                                               {3'000'000, 1000}}) {
    const std::string command = "BLOCK? " + std::to_string(c.n);
    SCOPED_TRACE(command + " /b=" + std::to_string(c.buffer));
    const auto out_file = files / "block.bin";
    const auto result = run({"/c=" + command, "/b=" + std::to_string(c.buffer), "/o=" + out_file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces(command, c.buffer));
    const std::string expected = block_answer(c.n);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_P(every_transport, a_block_spanning_many_reads_at_every_small_buffer_size) {
  // 600 bytes of data hold 0x0A at 10, 266 and 522 and 0x00 at 0, 256 and 512.
  const std::string expected = block_answer(600);
  for (std::size_t size = 1; size <= 10; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto out_file = files / ("block" + std::to_string(size) + ".bin");
    const auto result = run({"/c=BLOCK? 600", "/b=" + std::to_string(size), "/o=" + out_file.string(), "/l"});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, "");
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_P(every_transport, a_long_answer_prints_one_line_per_piece) {
  // TEXT? 15 is 16 bytes with its newline: buffers that divide it exactly end the answer on a
  // full read, where the end of the message (not the count) must end the run.
  const std::string response = text_pattern(15) + "\n";
  for (const std::size_t size : {3u, 4u, 8u, 15u, 16u, 17u}) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/c=TEXT? 15", "/b=" + std::to_string(size), "/t=2000"});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces("TEXT? 15", size) + answer_pieces(response, size));
    EXPECT_EQ(result.err, "");
  }
}

TEST_P(every_transport, silence_times_out_and_the_instrument_still_answers_the_next_run) {
  const auto silent = run({"/c=SILENT?", "/t=300"});
  EXPECT_EQ(silent.status, exit_visa_failure) << describe(silent);
  EXPECT_EQ(silent.out, echo("SILENT?"));
  EXPECT_TRUE(is_status_line(silent.err, visa_timeout));
  EXPECT_EQ(messages(), sent_as(row(), "SILENT?", default_buffer));

  const auto next = run({"/c=*IDN?"});
  ASSERT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, echo("*IDN?") + answer(idn));
}

TEST_P(every_transport, a_stall_mid_answer_times_out_keeps_the_bytes_and_the_next_run_works) {
  // The simulator holds the answer after 1000 bytes; over VXI-11 it then reports its own I/O
  // timeout with the bytes it had, so the client must still be waiting for that reply. On a
  // serial line the next program opening the port must not inherit the stalled answer.
  for (const std::string buffer : {"/b=0", "/b=300"}) {
    SCOPED_TRACE(buffer);
    const auto out_file = files / "stalled.bin";
    const auto result = run({"/c=STALL? 1000", "/t=300", buffer, "/o=" + out_file.string()});
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, echo("STALL? 1000"));
    EXPECT_TRUE(is_status_line(result.err, visa_timeout));
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, text_pattern(1000)) << first_difference(text_pattern(1000), got);

    const auto next = run({"/c=*IDN?"});
    ASSERT_EQ(next.status, 0) << describe(next);
    EXPECT_EQ(next.out, echo("*IDN?") + answer(idn));
  }
}

TEST_P(every_transport, a_drop_mid_answer_is_connection_lost_and_keeps_the_bytes) {
  const auto out_file = files / "dropped.bin";
  const auto result = run({"/c=DROP? 1000", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, echo("DROP? 1000"));
  EXPECT_TRUE(is_status_line(result.err, visa_connection_lost));
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, text_pattern(1000)) << first_difference(text_pattern(1000), got);
}

INSTANTIATE_TEST_SUITE_P(transports, every_transport, ::testing::ValuesIn(transport_rows()), transport_row_name);

using every_tcp_transport = transport_e2e;

TEST_P(every_tcp_transport, an_address_nobody_serves_is_not_found_and_the_output_file_stays_empty) {
  const held_port closed(false);
  const std::string port = std::to_string(closed.port());
  // VXI-11 finds its server through the port mapper on a fixed port: an address with none.
  const std::string nobody = row().name == std::string("socket") ? "TCPIP0::127.0.0.1::" + port + "::SOCKET"
                             : row().name == std::string("hislip") ? "TCPIP0::127.0.0.1::hislip0," + port + "::INSTR"
                                                                   : "TCPIP0::127.0.0.3::INSTR";
  const auto out_file = files / "never.bin";
  const auto result = run_kobrant({"/a=" + nobody, "/c=*IDN?", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(is_status_line(result.err, visa_not_found));
  ASSERT_TRUE(std::filesystem::exists(out_file));
  EXPECT_EQ(std::filesystem::file_size(out_file), 0u);
}

TEST_P(every_tcp_transport, two_instruments_side_by_side_on_loopback_addresses) {
  auto args = row().sim_args;
  args.insert(args.end(), {"--address", "127.0.0.2"});
  simulator second(args);
  ASSERT_TRUE(second.resource().starts_with("TCPIP0::127.0.0.2::")) << second.resource();
  const auto first_run = run({"/c=ECHO? first", "/l"});
  const auto second_run = run_kobrant({"/a=" + second.resource(), "/c=ECHO? second", "/l"});
  ASSERT_EQ(first_run.status, 0) << describe(first_run);
  ASSERT_EQ(second_run.status, 0) << describe(second_run);
  EXPECT_EQ(first_run.out, "first\n");
  EXPECT_EQ(second_run.out, "second\n");
  EXPECT_EQ(messages(), sent_as(row(), "ECHO? first", default_buffer));
  EXPECT_EQ(data_messages(row(), second.record()), sent_as(row(), "ECHO? second", default_buffer));
}

INSTANTIATE_TEST_SUITE_P(transports, every_tcp_transport, ::testing::ValuesIn(tcp_transport_rows()), transport_row_name);

class over_ipv6 : public transport_e2e {
 protected:
  over_ipv6() : transport_e2e({"--address", "::1"}) {}
  void SetUp() override {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback here";
    transport_e2e::SetUp();
  }
};

TEST_P(over_ipv6, idn) {
  ASSERT_TRUE(sim->resource().starts_with("TCPIP0::[::1]::")) << sim->resource();
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));
  EXPECT_EQ(messages(), sent_as(row(), "*IDN?", default_buffer));
}

INSTANTIATE_TEST_SUITE_P(transports, over_ipv6, ::testing::ValuesIn(tcp_transport_rows()), transport_row_name);

}  // namespace
}  // namespace kobrant::test
