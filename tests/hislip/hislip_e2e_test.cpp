// kobrant against kobrant-sim over HiSLIP: the same runs as over a raw socket (queries, chunked
// commands, blocks into files, long answers, timeouts and drops), plus what only HiSLIP shows:
// END on exactly the last message, and messages split at a small maximum message size.
#include <algorithm>

#include "e2e.h"
#include "raw_client.h"

namespace kobrant::test {
namespace {

// The instrument's messages in the record, without the protocol's control messages.
std::vector<record_entry> data_messages(const std::vector<record_entry>& all) {
  std::vector<record_entry> out;
  std::copy_if(all.begin(), all.end(), std::back_inserter(out),
               [](const record_entry& e) { return e.transport == "HISLIP"; });
  return out;
}

std::vector<std::string> control_types(const std::vector<record_entry>& all) {
  std::vector<std::string> out;
  for (const auto& e : all)
    if (e.transport.starts_with("HISLIP:")) out.push_back(e.transport.substr(7));
  return out;
}

class hislip_query : public kobrant_e2e {
 protected:
  hislip_query() : kobrant_e2e({"--hislip", "0"}) {}
};

// A server that takes and sends messages of at most 64 bytes, header included.
class hislip_small_messages : public kobrant_e2e {
 protected:
  hislip_small_messages() : kobrant_e2e({"--hislip", "0", "--hislip-max-message", "64"}) {}
};

TEST_F(hislip_query, identification_is_asked_in_one_data_end_and_printed) {
  ASSERT_TRUE(sim.resource().ends_with("::INSTR")) << sim.resource();
  const auto result = run({"/c=*IDN?"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(identification));
  EXPECT_EQ(data_messages(sim.record()), (std::vector<record_entry>{{"HISLIP", true, "*IDN?"}}));
}

TEST_F(hislip_query, chunked_commands_carry_end_on_exactly_the_last_message) {
  const auto result = run({"/b=4", "/c=ABCDEFGHIJ"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces("ABCDEFGHIJ", 4));
  // No answer is due, so kobrant may be gone before the simulator has read everything.
  EXPECT_EQ(data_messages(sim.wait_for_record(6)),
            (std::vector<record_entry>{{"HISLIP", false, "ABCD"}, {"HISLIP", false, "EFGH"}, {"HISLIP", true, "IJ"}}));
}

TEST_F(hislip_query, a_command_file_of_several_buffers_arrives_byte_for_byte) {
  std::string command;
  while (command.size() < 2 * default_buffer + 90000) command += "SOUR:LIST:VOLT 1.25,2.5,5\n";
  const auto command_file = files / "commands.txt";
  write_file(command_file, command);
  const auto result = run({"/c=" + command_file.string(), "/l"});
  EXPECT_EQ(result.status, 0) << describe(result);
  const auto got = data_messages(sim.wait_for_record(6));
  ASSERT_EQ(got.size(), 3u);
  EXPECT_FALSE(got[0].end);
  EXPECT_FALSE(got[1].end);
  EXPECT_TRUE(got[2].end);
  EXPECT_EQ(joined_bytes(got), command) << first_difference(command, joined_bytes(got));
}

TEST_F(hislip_query, a_block_with_zeros_and_newlines_lands_whole_in_the_file) {
  for (const std::string buffer : {"/b=204810", "/b=1000"}) {
    SCOPED_TRACE(buffer);
    const auto out_file = files / "block.bin";
    const auto result = run({"/c=BLOCK? 3000000", buffer, "/o=" + out_file.string()});
    EXPECT_EQ(result.status, 0) << describe(result);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, block_answer(3000000)) << first_difference(block_answer(3000000), got);
  }
}

TEST_F(hislip_small_messages, writes_and_answers_split_into_messages_the_server_accepts) {
  const std::string text(300, 'x');
  auto result = run({"/c=ECHO? " + text, "/l"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, text + "\n");
  const auto record = sim.record();
  const auto got = data_messages(record);
  // 306 bytes at 48 per message; the server recorded no message as too large.
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const record_entry& e) { return e.end; }), 1);
  EXPECT_TRUE(got.back().end);
  EXPECT_EQ(joined_bytes(got), "ECHO? " + text);
  // The record names every other message by its type; Initialize carries the sub-address
  // after its 16-byte header.
  EXPECT_EQ(control_types(record),
            (std::vector<std::string>{"Initialize", "AsyncInitialize", "AsyncMaximumMessageSize"}));
  EXPECT_EQ(record.front().bytes.substr(16), "hislip0");

  const auto out_file = files / "block.bin";
  // 48-byte messages against 7-byte reads: messages and reads end everywhere in each other.
  result = run({"/c=BLOCK? 5000", "/b=7", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(read_file(out_file), block_answer(5000));
}

TEST_F(hislip_query, a_silent_instrument_times_out) {
  const auto result = run({"/c=SILENT?", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, echo("SILENT?"));
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
  EXPECT_EQ(data_messages(sim.record()), (std::vector<record_entry>{{"HISLIP", true, "SILENT?"}}));
}

TEST_F(hislip_query, a_stall_or_a_drop_mid_answer_keeps_the_bytes_that_came) {
  const auto out_file = files / "partial.bin";
  auto result = run({"/c=STALL? 1000", "/t=300", "/b=300", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
  EXPECT_EQ(read_file(out_file), text_pattern(1000));

  result = run({"/c=DROP? 1000", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_connection_lost));
  EXPECT_EQ(read_file(out_file), text_pattern(1000));
}

TEST(hislip_open, a_port_nobody_listens_on_is_not_found) {
  const held_port closed(false);
  const auto result = run_kobrant(
      {"/a=TCPIP0::127.0.0.1::hislip0," + std::to_string(closed.port()) + "::INSTR", "/c=*IDN?"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_not_found));
}

}  // namespace
}  // namespace kobrant::test
