// kobrant against kobrant-sim over VXI-11: the socket transport's end-to-end cases again, and
// what only VXI-11 shows: END on exactly the last device_write (the tool's buffer and the
// link's maxRecvSize both cut), answers longer than the buffer over several reads, the
// instrument's own I/O timeout. Each test has a network namespace to itself, where the
// simulator serves the port mapper on port 111.
#include <filesystem>
#include <optional>

#include <kobrant/visa.h>

#include "e2e.h"
#include "private_network.h"
#include "raw_client.h"

namespace kobrant::test {
namespace {

const std::string idn(identification);

// What the instrument records for one command sent in pieces of at most size bytes: one
// device_write per piece, END on the last one only.
std::vector<record_entry> writes(std::string_view text, std::size_t size) {
  std::vector<record_entry> entries;
  for (const auto& piece : pieces(text, size)) entries.push_back({"VXI11", false, piece});
  if (entries.empty()) entries.push_back({"VXI11", false, ""});
  entries.back().end = true;
  return entries;
}

// Lines of letters without '?', each ending in a newline, total bytes long.
std::string text_lines(std::size_t total, std::size_t line_length) {
  std::string text;
  while (text.size() < total) {
    const std::size_t n = std::min(line_length, total - text.size());
    text += text_pattern(n - 1) + "\n";
  }
  return text;
}

class vxi11_e2e : public ::testing::Test {
 protected:
  explicit vxi11_e2e(std::vector<std::string> sim_args = {}) : sim_args_(std::move(sim_args)) {}

  void SetUp() override {
    if (!in_private_network()) {
      GTEST_SKIP() << "needs a private network namespace to serve port 111 (run as root): "
                   << private_network_failure();
    }
    std::vector<std::string> args = {"--vxi11", "0"};
    args.insert(args.end(), sim_args_.begin(), sim_args_.end());
    sim.emplace(args);
  }

  const std::string& resource() const { return sim->resource(); }

  process_result run(std::vector<std::string> args, std::string_view input = {}) const {
    args.insert(args.begin(), "/a=" + resource());
    return run_kobrant(args, input);
  }
  std::string echo(std::string_view text) const { return resource() + " <- " + std::string(text) + "\n"; }
  std::string echo_pieces(std::string_view text, std::size_t size) const {
    std::string out;
    for (const auto& p : pieces(text, size)) out += echo(p);
    return out;
  }
  std::string answer(std::string_view piece) const {
    return resource() + " -> " + std::string(piece.substr(0, piece.find('\0'))) + "\n";
  }
  std::string answer_pieces(std::string_view response, std::size_t size) const {
    std::string out;
    for (const auto& p : pieces(response, size)) out += answer(p);
    return out;
  }

  std::optional<simulator> sim;
  temp_dir files;

 private:
  std::vector<std::string> sim_args_;
};

using vxi11_query = vxi11_e2e;

TEST_F(vxi11_query, idn_goes_out_with_end_and_no_added_newline) {
  ASSERT_EQ(resource(), "TCPIP0::127.0.0.1::inst0::INSTR");
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim->record(), (std::vector<record_entry>{{"VXI11", true, "*IDN?"}}));

  const auto out_file = files / "answer.bin";
  const auto filed = run({"/c=*IDN?", "/o=" + out_file.string(), "/l"});
  ASSERT_EQ(filed.status, 0) << describe(filed);
  EXPECT_EQ(filed.out, "");
  EXPECT_EQ(read_file(out_file), idn);
}

TEST_F(vxi11_query, no_auto_query_sends_and_force_read_reads) {
  const auto sent = run({"/c=*IDN?", "/w"});
  ASSERT_EQ(sent.status, 0) << describe(sent);
  EXPECT_EQ(sent.out, echo("*IDN?"));
  EXPECT_EQ(sim->wait_for_record(1), (std::vector<record_entry>{{"VXI11", true, "*IDN?"}}));

  // Nothing is asked, so the instrument has nothing to say: the read that /r forces ends in
  // the instrument's timeout.
  const auto forced = run({"/r", "/t=300"});
  EXPECT_EQ(forced.status, exit_visa_failure) << describe(forced);
  EXPECT_EQ(forced.out, "");
  EXPECT_TRUE(is_status_line(forced.err, visa_timeout));
}

TEST_F(vxi11_query, two_instruments_side_by_side_on_loopback_addresses) {
  simulator second({"--vxi11", "0", "--address", "127.0.0.2"});
  ASSERT_EQ(second.resource(), "TCPIP0::127.0.0.2::inst0::INSTR");
  const auto first_run = run({"/c=ECHO? first", "/l"});
  const auto second_run = run_kobrant({"/a=" + second.resource(), "/c=ECHO? second", "/l"});
  ASSERT_EQ(first_run.status, 0) << describe(first_run);
  ASSERT_EQ(second_run.status, 0) << describe(second_run);
  EXPECT_EQ(first_run.out, "first\n");
  EXPECT_EQ(second_run.out, "second\n");
  EXPECT_EQ(sim->record(), (std::vector<record_entry>{{"VXI11", true, "ECHO? first"}}));
  EXPECT_EQ(second.record(), (std::vector<record_entry>{{"VXI11", true, "ECHO? second"}}));
}

class vxi11_query_over_ipv6 : public vxi11_e2e {
 protected:
  vxi11_query_over_ipv6() : vxi11_e2e({"--address", "::1"}) {}
  void SetUp() override {
    if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback here";
    vxi11_e2e::SetUp();
  }
};

TEST_F(vxi11_query_over_ipv6, idn) {
  ASSERT_EQ(resource(), "TCPIP0::[::1]::inst0::INSTR");
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(idn));
}

using vxi11_commands = vxi11_e2e;

TEST_F(vxi11_commands, end_goes_with_the_last_buffer_only) {
  const auto result = run({"/b=4", "/c=ABCDEFGHIJ"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ABCD") + echo("EFGH") + echo("IJ"));
  EXPECT_EQ(sim->wait_for_record(3), writes("ABCDEFGHIJ", 4));
}

TEST_F(vxi11_commands, every_buffer_size_around_the_command_length) {
  // 6 bytes: a buffer of exactly the length is one write with END; one byte less is END off,
  // then END on.
  const std::string command = "ABCDEF";
  std::vector<record_entry> expected;
  for (std::size_t size = 1; size <= 8; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/b=" + std::to_string(size), "/c=" + command});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces(command, size));
    const auto these = writes(command, size);
    expected.insert(expected.end(), these.begin(), these.end());
  }
  EXPECT_EQ(sim->wait_for_record(expected.size()), expected);
}

TEST_F(vxi11_commands, a_file_of_three_buffers_goes_in_three_writes_and_its_query_is_read) {
  const std::string content = text_lines(450'000, 900) + "*IDN?\n";
  const auto command_file = files / "command.txt";
  write_file(command_file, content);
  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces(content, default_buffer) + answer(idn));
  EXPECT_EQ(sim->record(), writes(content, default_buffer));
}

TEST_F(vxi11_commands, a_command_piped_on_stdin_is_read_to_its_end) {
  const auto result = run({"/c=/dev/stdin"}, "ECHO? piped\n");
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ECHO? piped\n") + answer("piped\n"));
  EXPECT_EQ(sim->record(), (std::vector<record_entry>{{"VXI11", true, "ECHO? piped\n"}}));
}

class vxi11_small_link : public vxi11_e2e {
 protected:
  vxi11_small_link() : vxi11_e2e({"--vxi11-max-recv", "4"}) {}
};

TEST_F(vxi11_small_link, max_recv_size_cuts_one_write_with_end_on_its_last_piece) {
  // One viWrite each (the tool's buffer is far larger); the link takes 4 bytes a call.
  std::vector<record_entry> expected;
  for (const std::string command : {"ABCDEFGHIJ", "ABCD", "ABCDE"}) {
    SCOPED_TRACE(command);
    const auto result = run({"/c=" + command});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo(command));
    const auto these = writes(command, 4);
    expected.insert(expected.end(), these.begin(), these.end());
  }
  EXPECT_EQ(sim->wait_for_record(expected.size()), expected);
}

TEST_F(vxi11_small_link, a_query_in_pieces_is_one_message_to_the_instrument) {
  const auto result = run({"/c=ECHO? cut in pieces", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "cut in pieces\n");
}

using vxi11_responses = vxi11_e2e;

TEST_F(vxi11_responses, a_block_lands_in_the_file_byte_for_byte) {
  for (const std::size_t n : {0u, 1u, 100'000u, 2'000'000u}) {
    SCOPED_TRACE("BLOCK? " + std::to_string(n));
    const auto out_file = files / "block.bin";
    const std::string command = "BLOCK? " + std::to_string(n);
    const auto result = run({"/c=" + command, "/o=" + out_file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo(command));
    const std::string expected = block_answer(n);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_F(vxi11_responses, a_block_spanning_many_reads_at_every_small_buffer_size) {
  const std::string expected = block_answer(600);
  for (std::size_t size = 1; size <= 10; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto out_file = files / ("block" + std::to_string(size) + ".bin");
    const auto result = run({"/c=BLOCK? 600", "/b=" + std::to_string(size), "/o=" + out_file.string(), "/l"});
    ASSERT_EQ(result.status, 0) << describe(result);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_F(vxi11_responses, an_answer_longer_than_the_buffer_comes_over_several_reads) {
  // TEXT? 15 is 16 bytes with its newline: a buffer that divides it exactly ends the answer on
  // a full read, where END (not the count) must end the run.
  const std::string response = text_pattern(15) + "\n";
  for (const std::size_t size : {3u, 4u, 8u, 15u, 16u, 17u}) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/c=TEXT? 15", "/b=" + std::to_string(size)});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces("TEXT? 15", size) + answer_pieces(response, size));
    EXPECT_EQ(result.err, "");
  }
  const auto out_file = files / "block.bin";
  const auto large = run({"/c=BLOCK? 1000000", "/b=4096", "/o=" + out_file.string()});
  ASSERT_EQ(large.status, 0) << describe(large);
  const std::string expected = block_answer(1'000'000);
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, expected) << first_difference(expected, got);
}

TEST_F(vxi11_responses, each_answer_ends_with_its_own_end) {
  // Two messages in one command, two answers: the read stops at the first one's END.
  const auto result = run({"/c=*IDN?\nECHO? second", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, idn);
}

// The library itself against the simulator, for what the tool never asks for.
class vxi11_session : public vxi11_e2e {
 protected:
  void SetUp() override {
    vxi11_e2e::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, resource().c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
  }
  void TearDown() override {
    if (rm != VI_NULL) viClose(rm);
  }
  ViStatus write(const std::string& text) {
    return viWrite(vi, reinterpret_cast<ViConstBuf>(text.data()), static_cast<ViUInt32>(text.size()), nullptr);
  }
  ViStatus read(std::string& out, ViUInt32 count) {
    std::string buf(count, '\0');
    ViUInt32 got = 0;
    const ViStatus status = viRead(vi, reinterpret_cast<ViBuf>(buf.data()), count, &got);
    out = buf.substr(0, got);
    return status;
  }
  ViSession rm = VI_NULL, vi = VI_NULL;
};

TEST_F(vxi11_session, the_instrument_stops_at_the_termination_character_when_asked) {
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, ';'), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  ASSERT_EQ(write("ECHO? a;bc;d"), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, "a;");
  EXPECT_EQ(read(r, 2), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "bc");
  EXPECT_EQ(read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, ";");
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "d\n");
}

TEST_F(vxi11_session, a_device_clear_discards_the_rest_of_an_answer) {
  ASSERT_EQ(write("TEXT? 100"), VI_SUCCESS);
  std::string r;
  ASSERT_EQ(read(r, 10), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(viClear(vi), VI_SUCCESS);
  ASSERT_EQ(write("*IDN?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, idn);
}

using vxi11_failures = vxi11_e2e;

TEST_F(vxi11_failures, the_instruments_timeout_mid_answer_keeps_the_bytes_in_the_file) {
  // The simulator holds the read for io_timeout, then reports its I/O timeout together with
  // the bytes it had: the client must still be waiting for that reply to get them.
  for (const std::string buffer : {"/b=0", "/b=300"}) {
    SCOPED_TRACE(buffer);
    const auto out_file = files / "stalled.bin";
    const auto result = run({"/c=STALL? 1000", "/t=300", buffer, "/o=" + out_file.string()});
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, echo("STALL? 1000"));
    EXPECT_TRUE(is_status_line(result.err, visa_timeout));
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, text_pattern(1000)) << first_difference(text_pattern(1000), got);
  }
}

TEST_F(vxi11_failures, a_dropped_connection_mid_answer_is_connection_lost_and_keeps_the_bytes) {
  const auto out_file = files / "dropped.bin";
  const auto result = run({"/c=DROP? 1000", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_connection_lost));
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, text_pattern(1000)) << first_difference(text_pattern(1000), got);
}

TEST_F(vxi11_failures, an_instrument_that_never_answers_times_out) {
  const auto result = run({"/c=SILENT?", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, echo("SILENT?"));
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
  EXPECT_EQ(sim->record(), (std::vector<record_entry>{{"VXI11", true, "SILENT?"}}));
}

TEST_F(vxi11_failures, no_vxi11_server_or_no_such_device_is_not_found) {
  const auto out_file = files / "never.bin";
  const auto nobody = run_kobrant({"/a=TCPIP0::127.0.0.3::INSTR", "/c=*IDN?", "/o=" + out_file.string()});
  EXPECT_EQ(nobody.status, exit_visa_failure) << describe(nobody);
  EXPECT_EQ(nobody.out, "");
  EXPECT_TRUE(is_status_line(nobody.err, visa_not_found));
  ASSERT_TRUE(std::filesystem::exists(out_file));
  EXPECT_EQ(std::filesystem::file_size(out_file), 0u);

  const auto no_device = run_kobrant({"/a=TCPIP0::127.0.0.1::gpib0,5::INSTR", "/c=*IDN?"});
  EXPECT_EQ(no_device.status, exit_visa_failure) << describe(no_device);
  EXPECT_TRUE(is_status_line(no_device.err, visa_not_found));
  EXPECT_EQ(sim->record(), std::vector<record_entry>{});
}

}  // namespace
}  // namespace kobrant::test
