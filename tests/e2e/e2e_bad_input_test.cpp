// Bad input to kobrant itself: the longest command text a command line can carry, arguments
// holding bytes that are not text, thousands of arguments, a command file that grows or
// shrinks while it is being sent, and output that cannot be written (a full disk, at once or
// part-way, for the /o= file and for the console). Each run ends with a clear result: the
// expected bytes where they belong, or a message and a failing exit status, never a crash and
// never 0 for work that was not done.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <stdexcept>
#include <system_error>

#include "e2e.h"

namespace kobrant::test {
namespace {

// Linux refuses an argument of more than 32 pages (MAX_ARG_STRLEN, 128 KiB) including its
// terminating zero, so no command line can carry a 1 MB /c= text: this is the longest
// argument exec accepts. A megabyte goes in a command file instead.
constexpr std::size_t max_argument = 131072 - 1;

using bad_input = kobrant_e2e;

TEST_F(bad_input, the_longest_command_text_exec_accepts_arrives_whole_in_one_piece_or_many) {
  if (tool_is_windows()) GTEST_SKIP() << "Windows caps a command line at 32767 characters, far below what exec takes on Linux";
  const std::string prefix = "/c=ECHO? ";
  const std::string text = text_pattern(max_argument - prefix.size());
  for (const std::string buffer : {"/b=0", "/b=4096"}) {
    SCOPED_TRACE(buffer);
    const auto out_file = files / "echo.bin";
    const auto result = run({prefix + text, buffer, "/l", "/o=" + out_file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, text + "\n") << first_difference(text + "\n", got);
  }
  const auto recorded = sim.wait_for_record(2);
  ASSERT_EQ(recorded.size(), 2u);
  for (const auto& message : recorded) EXPECT_EQ(message.bytes, "ECHO? " + text + "\n");

  // One byte more and the system, not kobrant, refuses to start the program.
  EXPECT_THROW(run({prefix + text + "A", "/l"}), std::system_error);
}

TEST_F(bad_input, a_command_file_of_a_megabyte_is_sent_in_pieces_as_one_message) {
  const std::string text = text_pattern(1 << 20);
  const auto command_file = files / "command.txt";
  write_file(command_file, "ECHO? " + text);
  const auto out_file = files / "echo.bin";
  const auto result = run({"/c=" + command_file.string(), "/l", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, text + "\n") << first_difference(text + "\n", got);
  const auto recorded = sim.wait_for_record(1);
  ASSERT_EQ(recorded.size(), 1u);
  EXPECT_EQ(recorded.front().bytes.size(), 6 + text.size() + 1);
}

TEST_F(bad_input, command_bytes_that_are_not_text_reach_the_instrument_unchanged) {
  if (tool_is_windows()) GTEST_SKIP() << "Windows passes arguments and names files in UTF-16: bytes that are not UTF-8 cannot get there";
  // Every byte an argument can hold except the newline, which would end the message, and the
  // quote and '#', which would make the echoed answer read as a string or a block.
  std::string bytes;
  for (int b = 1; b < 256; ++b) {
    if (b != '\n' && b != '"' && b != '#') bytes.push_back(static_cast<char>(b));
  }
  const auto out_file = files / "echo.bin";
  const auto result = run({"/c=ECHO? " + bytes + "end", "/l", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(read_file(out_file), bytes + "end\n");
  EXPECT_EQ(sim.wait_for_record(1).front().bytes, "ECHO? " + bytes + "end\n");
}

TEST_F(bad_input, an_output_file_name_that_is_not_text_is_used_as_given) {
  if (tool_is_windows()) GTEST_SKIP() << "Windows passes arguments and names files in UTF-16: bytes that are not UTF-8 cannot get there";
  const auto out_file = files / "answer\xff\xfe\x01.bin";
  const auto result = run({"/c=*IDN?", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(read_file(out_file), identification);
}

TEST_F(bad_input, an_address_that_is_not_text_is_an_invalid_resource_name) {
  // None of these may reach a name resolver or a device: the bytes sit where only a class, a
  // number or a device path can be.
  for (const std::string address : {"\xff\xfeTCPIP0::127.0.0.1::5025::SOCKET", "TCPIP0::127.0.0.1::50\xff" "25::SOCKET",
                                    "TCPIP\x80::127.0.0.1::5025::SOCKET", "ASRL/dev/\xff\xfe::INSTR"}) {
    SCOPED_TRACE(address);
    const auto result = run_kobrant({"/a=" + address, "/c=*IDN?"});
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(is_status_line(result.err, visa_bad_name));
  }
}

TEST_F(bad_input, numbers_that_are_not_ascii_digits_are_bad_arguments_and_nothing_is_sent) {
  // Arabic-Indic three, a full-width one, a lone continuation byte, a Latin-1 superscript two.
  for (const std::string value : {"\xd9\xa3", "\xef\xbc\x91", "5\x80", "\xb2"}) {
    for (const std::string name : {"/t=", "/b="}) {
      SCOPED_TRACE(name + value);
      const auto result = run({"/c=*IDN?", name + value});
      EXPECT_EQ(result.status, exit_bad_argument) << describe(result);
      EXPECT_EQ(result.out, "bad argument\n");
    }
  }
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

TEST_F(bad_input, thousands_of_arguments_are_scanned_and_the_last_of_each_switch_wins) {
  if (tool_is_windows()) GTEST_SKIP() << "Windows caps a command line at 32767 characters, far below what exec takes on Linux";
  std::vector<std::string> args;
  for (int i = 0; i < 4000; ++i) {
    args.push_back("/c=ECHO? " + std::to_string(i));
    args.push_back("/t=" + std::to_string(i));  // a 0 ms timeout among them, never the last
    args.push_back("junk\xff" + std::to_string(i));
    args.push_back("/b=" + std::to_string(i + 1));
  }
  args.push_back("/t=5000");
  args.push_back("/b=0");
  args.push_back("/l");
  const auto result = run(args);
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "3999\n");
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "ECHO? 3999\n"}}));
}

// An instrument that takes a connection and reads nothing until told to, so a client's writes
// block part-way through a long command: a test can then change the command file under it.
class slow_reader {
 public:
  slow_reader() {
    listening_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A small receive window, inherited by the accepted connection: the client blocks after a
    // few megabytes at most, whatever the machine's socket buffer limits.
    const int small = 4096;
    ::setsockopt(listening_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listening_ < 0 || ::bind(listening_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listening_, 1) != 0 ||
        ::getsockname(listening_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      throw std::runtime_error("cannot listen on loopback");
    }
    port_ = ntohs(addr.sin_port);
  }
  ~slow_reader() {
    if (connection_ >= 0) ::close(connection_);
    ::close(listening_);
  }
  slow_reader(const slow_reader&) = delete;
  slow_reader& operator=(const slow_reader&) = delete;

  std::string resource() const { return "TCPIP0::127.0.0.1::" + std::to_string(port_) + "::SOCKET"; }

  // Accepts the client and waits until its first bytes have arrived, leaving them unread.
  bool wait_for_first_bytes(std::chrono::milliseconds bound) {
    pollfd p{listening_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(bound.count())) != 1) return false;
    connection_ = ::accept4(listening_, nullptr, nullptr, SOCK_CLOEXEC);
    pollfd q{connection_, POLLIN, 0};
    return connection_ >= 0 && ::poll(&q, 1, static_cast<int>(bound.count())) == 1;
  }

  // Reads until the client closes, or bound passes.
  std::string read_all(std::chrono::milliseconds bound) { return read_until_closed(connection_, bound); }

 private:
  int listening_ = -1;
  int connection_ = -1;
  std::uint16_t port_ = 0;
};

// Runs kobrant on a command file of original_size bytes against a slow reader, calls change()
// once kobrant is part-way through sending it, and returns the result and what arrived.
struct changing_file_run {
  process_result result;
  std::string received;
};
template <typename Change>
changing_file_run send_changing_file(const std::filesystem::path& command_file, std::size_t original_size,
                                     Change change) {
  write_file(command_file, text_pattern(original_size));
  slow_reader instrument;
  auto run = std::async(std::launch::async, [&] {
    return run_kobrant({"/a=" + instrument.resource(), "/c=" + command_file.string(), "/b=65536", "/t=30000",
                        "/w", "/l"});
  });
  changing_file_run out;
  if (instrument.wait_for_first_bytes(std::chrono::seconds(20))) {
    change();
    out.received = instrument.read_all(std::chrono::seconds(60));
  }
  out.result = run.get();
  return out;
}

// No newline and no '?' in the file: the raw socket adds one newline at the end of what was
// sent, and kobrant reads nothing back.
constexpr std::size_t changing_file_size = 24u << 20;

TEST_F(bad_input, a_command_file_that_grows_while_sent_goes_out_at_the_size_it_had_at_the_start) {
  const auto command_file = files / "growing.txt";
  const auto run = send_changing_file(command_file, changing_file_size, [&] {
    std::FILE* file = std::fopen(command_file.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    const std::string more(1 << 20, 'z');
    std::fwrite(more.data(), 1, more.size(), file);
    std::fclose(file);
  });
  ASSERT_EQ(run.result.status, 0) << describe(run.result);
  const std::string expected = text_pattern(changing_file_size) + "\n";
  EXPECT_EQ(run.received.size(), expected.size());
  EXPECT_TRUE(run.received == expected) << first_difference(expected, run.received);
}

TEST_F(bad_input, a_command_file_that_shrinks_while_sent_goes_out_as_read_never_padded) {
  const auto command_file = files / "shrinking.txt";
  const std::size_t shrunk = changing_file_size / 2;
  const auto run = send_changing_file(command_file, changing_file_size,
                                      [&] { std::filesystem::resize_file(command_file, shrunk); });
  ASSERT_EQ(run.result.status, 0) << describe(run.result);
  // What kobrant had read before the cut goes out, then what the file still holds, then the
  // newline that ends the command; never zero bytes for what vanished.
  ASSERT_FALSE(run.received.empty());
  const std::size_t sent = run.received.size() - 1;
  EXPECT_GE(sent, shrunk);
  EXPECT_LT(sent, changing_file_size) << "the file was not cut while kobrant was sending it";
  const std::string expected = text_pattern(sent) + "\n";
  EXPECT_TRUE(run.received == expected) << first_difference(expected, run.received);
}

TEST_F(bad_input, a_command_file_that_reports_no_size_is_sent_as_read) {
  // Files under /proc claim a size of zero whatever they hold; taking the claim for the
  // content sent an empty command and reported success.
  const std::filesystem::path file = "/proc/sys/kernel/ostype";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "no " << file;
  ASSERT_EQ(std::filesystem::file_size(file), 0u);
  const std::string content = read_file(file);
  ASSERT_FALSE(content.empty());
  const auto result = run({"/c=" + file.string(), "/w", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(sim.wait_for_record(1), (std::vector<record_entry>{{"SOCKET", false, content}}));
}

TEST_F(bad_input, an_output_file_on_a_full_disk_fails_the_run_with_the_reason) {
  for (const std::string buffer : {"/b=0", "/b=1000"}) {
    SCOPED_TRACE(buffer);
    const auto result = run({"/c=BLOCK? 100000", buffer, "/o=/dev/full"});
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, echo("BLOCK? 100000"));
    EXPECT_EQ(result.err, "Cannot write the output file /dev/full: No space left on device\n");
  }
}

TEST_F(bad_input, a_console_on_a_full_disk_fails_the_run_with_the_reason) {
  for (const std::string command : {"/c=*IDN?", "/c=BLOCK? 100000"}) {
    SCOPED_TRACE(command);
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    const auto err_file = files / "stderr.txt";
    const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(err, 0);
    const int pid = spawn_process(kobrant_path(), {address(), command}, -1, full, err);
    ::close(full);
    ::close(err);
    const auto status = wait_for_exit(pid, std::chrono::steady_clock::now() + std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value()) << "kobrant hung";
    ASSERT_TRUE(WIFEXITED(*status)) << "kobrant was killed by signal " << WTERMSIG(*status);
    EXPECT_EQ(WEXITSTATUS(*status), exit_visa_failure);
    EXPECT_EQ((tool_is_windows() ? from_console_text(read_file(err_file)) : read_file(err_file)), "Cannot write to standard output: No space left on device\n");
  }
}

TEST_F(bad_input, a_disk_that_fills_part_way_keeps_what_fitted_and_fails_the_run) {
  if (tool_is_windows()) GTEST_SKIP() << "wine's server, outside the run's mount namespace, does not see the file system mounted there";
  // A small memory file system in a mount namespace of the run's own: root only.
  const auto probe = run_process("/usr/bin/unshare", {"--mount", "true"});
  if (probe.status != 0) GTEST_SKIP() << "no private mount namespace here (needs root)";

  const auto mount_point = files / "small";
  std::filesystem::create_directory(mount_point);
  const auto kept = files / "kept.bin";
  // kobrant writes into the small file system; what it wrote is copied out before the
  // namespace, and the file system with it, goes away.
  const std::string script =
      "mount -t tmpfs -o size=64k kobrant-test \"$1\" || exit 99\n"
      "\"$2\" \"$3\" \"/c=BLOCK? 1000000\" \"/o=$1/answer.bin\"\n"
      "status=$?\n"
      "cp \"$1/answer.bin\" \"$4\"\n"
      "exit $status\n";
  const auto result = run_process("/usr/bin/unshare", {"--mount", "--propagation", "private", "/bin/sh", "-c", script,
                                                        "sh", mount_point.string(), kobrant_path(), address(),
                                                        kept.string()});
  ASSERT_NE(result.status, 99) << describe(result);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.err, "Cannot write the output file " + (mount_point / "answer.bin").string() +
                            ": No space left on device\n");
  const std::string got = read_file(kept);
  const std::string whole = block_answer(1000000);
  EXPECT_FALSE(got.empty());
  EXPECT_LT(got.size(), whole.size());
  EXPECT_TRUE(whole.starts_with(got)) << first_difference(whole.substr(0, got.size()), got);
}

}  // namespace
}  // namespace kobrant::test
