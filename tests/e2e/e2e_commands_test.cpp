// Sending commands over a raw socket (the runs every transport shares are in
// e2e_transports_test.cpp): command files and piped commands of several buffers, a file sent
// instead of its name, the newline a raw socket needs at the end of a command, and commands
// refused before anything is sent.
#include <filesystem>

#include "e2e.h"

namespace kobrant::test {
namespace {

using commands = kobrant_e2e;

std::size_t count_lines(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
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

TEST_F(commands, a_file_is_sent_instead_of_its_name_and_gets_its_newline) {
  const auto command_file = files / "query.txt";
  write_file(command_file, "ECHO? from a file");

  const auto result = run({"/c=" + command_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("ECHO? from a file") + answer("from a file\n"));
  EXPECT_EQ(sim.record(),
            (std::vector<record_entry>{{"SOCKET", false, "ECHO? from a file\n"}}));
}

TEST_F(commands, file_names_beyond_ascii_name_the_command_and_the_output_file) {
  // UTF-8 names, with characters no single code page holds together.
  const auto command_file = files / "mesure \xc3\xa9t\xc3\xa9 \xe6\xb8\xac\xe5\xae\x9a.cmd";
  const auto output_file = files / "r\xc3\xa9ponse \xce\xb4 \xe2\x82\xac.bin";
  write_file(command_file, "ECHO? \xc3\xa9\xe2\x82\xac");

  const auto result = run({"/c=" + command_file.string(), "/o=" + output_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(sim.wait_for_record(1),
            (std::vector<record_entry>{{"SOCKET", false, "ECHO? \xc3\xa9\xe2\x82\xac\n"}}));
  EXPECT_EQ(read_file(output_file), "\xc3\xa9\xe2\x82\xac\n");
}

TEST_F(commands, a_piped_command_longer_than_the_buffer_arrives_whole) {
  if (tool_is_windows()) GTEST_SKIP() << "/dev/stdin names nothing on Windows";
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
