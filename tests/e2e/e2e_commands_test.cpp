// Sending commands: text split into buffer-sized writes, command files of several buffers,
// a command piped in on stdin, and the newline a raw socket needs at the end of a command.
#include <filesystem>

#include "e2e.h"

namespace kobrant::test {
namespace {

using commands = kobrant_e2e;

// Lines of letters without '?', each ending in a newline, total bytes long.
std::string text_lines(std::size_t total, std::size_t line_length) {
  std::string text;
  while (text.size() < total) {
    const std::size_t n = std::min(line_length, total - text.size());
    text += text_pattern(n - 1) + "\n";
  }
  return text;
}

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

TEST_F(commands, text_longer_than_the_buffer_goes_in_chunks_and_arrives_as_one_message) {
  const auto result = run({"/b=4", "/c=ABCDEFGHIJ"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ABCD") + echo("EFGH") + echo("IJ"));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim.wait_for_record(1),
            (std::vector<record_entry>{{"SOCKET", false, "ABCDEFGHIJ\n"}}));
}

TEST_F(commands, every_buffer_size_around_the_command_length) {
  // 6 bytes: buffers below, at and above the length, and one that divides it exactly.
  const std::string command = "ABCDEF";
  for (std::size_t size = 1; size <= 8; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/b=" + std::to_string(size), "/c=" + command});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces(command, size));
  }
  const auto entries = sim.wait_for_record(8);
  ASSERT_EQ(entries.size(), 8u);
  for (const auto& e : entries) EXPECT_EQ(e, (record_entry{"SOCKET", false, "ABCDEF\n"}));
}

TEST_F(commands, a_command_that_ends_in_a_newline_gets_no_second_one) {
  const auto result = run({"/c=ABC\n"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ABC\n"));
  EXPECT_EQ(sim.wait_for_record(1), (std::vector<record_entry>{{"SOCKET", false, "ABC\n"}}));
}

TEST_F(commands, a_file_of_between_two_and_three_buffers_goes_in_three_writes) {
  const std::string content = text_lines(500'000, 1'000);
  const auto command_file = files / "command.txt";
  write_file(command_file, content);

  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces(content, default_buffer));
  EXPECT_EQ(result.err, "");
  const auto entries = sim.wait_for_record(count_lines(content));
  const std::string received = joined_bytes(entries);
  EXPECT_EQ(received, content) << first_difference(content, received);
}

TEST_F(commands, a_file_of_exactly_two_buffers_and_one_byte) {
  const std::string content = text_lines(2 * default_buffer + 1, 4'096);
  const auto command_file = files / "command.txt";
  write_file(command_file, content);

  const auto result = run({"/c=" + command_file.string(), "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "");
  const std::string received = joined_bytes(sim.wait_for_record(count_lines(content)));
  EXPECT_EQ(received, content) << first_difference(content, received);
}

TEST_F(commands, a_file_whose_query_is_in_its_last_chunk_reads_the_answer) {
  const std::string content = text_lines(450'000, 900) + "*IDN?\n";
  const auto command_file = files / "command.txt";
  write_file(command_file, content);

  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces(content, default_buffer) + answer(identification));
  const std::string received = joined_bytes(sim.wait_for_record(count_lines(content)));
  EXPECT_EQ(received, content) << first_difference(content, received);
}

TEST_F(commands, a_file_is_sent_instead_of_its_name_and_gets_its_newline) {
  const auto command_file = files / "query.txt";
  write_file(command_file, "ECHO? from a file");

  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ECHO? from a file") + answer("from a file\n"));
  EXPECT_EQ(sim.record(),
            (std::vector<record_entry>{{"SOCKET", false, "ECHO? from a file\n"}}));
}

TEST_F(commands, a_command_piped_on_stdin_is_read_to_its_end) {
  const auto result = run({"/c=/dev/stdin"}, "ECHO? piped\n");
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ECHO? piped\n") + answer("piped\n"));
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "ECHO? piped\n"}}));
}

TEST_F(commands, a_piped_command_longer_than_the_buffer_arrives_whole) {
  const std::string content = text_lines(300'000, 1'000);
  const auto result = run({"/c=/dev/stdin"}, content);
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo_pieces(content, default_buffer));
  const std::string received = joined_bytes(sim.wait_for_record(count_lines(content)));
  EXPECT_EQ(received, content) << first_difference(content, received);
}

TEST_F(commands, a_directory_as_command_is_a_bad_argument_and_nothing_is_sent) {
  const auto result = run({"/c=" + files.path().string()});
  EXPECT_EQ(result.status, exit_bad_argument) << describe(result);
  EXPECT_EQ(result.signed_status(), -1);
  EXPECT_EQ(result.out, "bad argument\n");
  EXPECT_FALSE(result.err.empty()) << "no reason given on stderr";
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

TEST_F(commands, the_command_file_as_output_file_is_refused_under_any_name_and_left_untouched) {
  // Creating the output file used to empty the command file first: a lone newline went out and
  // the run reported success.
  const std::string content = "ECHO? keep me";
  const auto command_file = files / "command.txt";
  std::filesystem::create_directory(files / "sub");
  std::filesystem::create_symlink(command_file, files / "symbolic.txt");
  write_file(command_file, content);
  std::filesystem::create_hard_link(command_file, files / "hard.txt");
  const std::string same = command_file.string();
  const std::vector<std::string> outputs = {
      same,
      (files / "." / "command.txt").string(),
      (files / "sub" / ".." / "command.txt").string(),
      (files / "symbolic.txt").string(),
      (files / "hard.txt").string(),
  };
  for (const auto& output : outputs) {
    SCOPED_TRACE(output);
    const auto result = run({"/c=" + same, "/o=" + output});
    EXPECT_EQ(result.status, exit_bad_argument) << describe(result);
    EXPECT_EQ(result.out, "bad argument\n");
    EXPECT_EQ(result.err, "The output file " + output + " is the command file " + same + "\n");
    EXPECT_EQ(read_file(command_file), content);
  }
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

}  // namespace
}  // namespace kobrant::test
