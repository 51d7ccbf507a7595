// kobrant's standard streams: started with some of them closed, with a terminal as the command
// source and the output file, and the progress line a long transfer into a file shows on a
// terminal (and nowhere else).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <thread>

#include "e2e.h"
#include "raw_client.h"

namespace kobrant::test {
namespace {

// A pseudo-terminal owned by the test: kobrant gets the terminal side as some of its standard
// streams, the test writes and reads the other side.
class pseudo_terminal {
 public:
  // raw: no line editing and no output translation, so the test sees the bytes as written.
  explicit pseudo_terminal(bool raw) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    terminal_ = ::open(::ptsname(master_), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal_ < 0) throw std::runtime_error("cannot open the terminal side");
    if (raw) {
      termios mode{};
      ::tcgetattr(terminal_, &mode);
      ::cfmakeraw(&mode);
      ::tcsetattr(terminal_, TCSANOW, &mode);
    }
  }
  ~pseudo_terminal() {
    close_terminal();
    ::close(master_);
  }
  pseudo_terminal(const pseudo_terminal&) = delete;
  pseudo_terminal& operator=(const pseudo_terminal&) = delete;

  int terminal() const { return terminal_; }
  // Once kobrant has its copy: the test's own would keep the terminal open after kobrant exits.
  void close_terminal() {
    if (terminal_ >= 0) ::close(terminal_);
    terminal_ = -1;
  }
  void type(std::string_view keys) const {
    if (::write(master_, keys.data(), keys.size()) != static_cast<ssize_t>(keys.size())) {
      throw std::runtime_error("cannot type on the terminal");
    }
  }
  // Everything written to the terminal until its last user closed it, or bound passed.
  std::string read_until_closed(std::chrono::milliseconds bound) const {
    return test::read_until_closed(master_, bound);
  }

 private:
  int master_ = -1;
  int terminal_ = -1;
};

struct terminal_run {
  int status = -1;        // exit status, -1 when kobrant did not exit by itself
  std::string terminal;   // what kobrant wrote to the terminal
  std::string out;        // its standard output, when that was not the terminal
};

enum class stream { terminal, file };

// Runs kobrant with its standard output and standard error each on the terminal or in a file;
// standard input is the terminal when typed is given.
terminal_run run_on_terminal(const temp_dir& files, const std::vector<std::string>& args, stream out,
                             stream err, std::string_view typed = {}, bool raw = true) {
  pseudo_terminal tty(raw);
  const auto out_file = files / "stdout.txt";
  const auto err_file = files / "stderr.txt";
  const int out_fd = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err_fd = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int pid = spawn_process(kobrant_path(), args, typed.empty() ? -1 : tty.terminal(),
                                out == stream::terminal ? tty.terminal() : out_fd,
                                err == stream::terminal ? tty.terminal() : err_fd);
  ::close(out_fd);
  ::close(err_fd);
  tty.close_terminal();
  if (!typed.empty()) tty.type(typed);

  terminal_run run;
  run.terminal = tty.read_until_closed(std::chrono::seconds(30));
  auto status = wait_for_exit(pid, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  if (!status) {
    ::kill(pid, SIGKILL);
    wait_for_exit(pid, std::chrono::steady_clock::time_point::max());
  } else if (WIFEXITED(*status)) {
    run.status = WEXITSTATUS(*status);
  }
  if (out == stream::file) run.out = read_file(out_file);
  if (err == stream::file) run.terminal += read_file(err_file);
  return run;
}

// The rows a terminal in raw mode would show for these bytes: a carriage return goes back to
// the start of the row, a line feed goes down one row and keeps the column.
std::vector<std::string> screen_rows(std::string_view bytes) {
  std::vector<std::string> rows(1);
  std::size_t row = 0;
  std::size_t column = 0;
  for (const char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      if (++row == rows.size()) rows.emplace_back();
    } else {
      std::string& line = rows[row];
      if (line.size() <= column) line.resize(column + 1, ' ');
      line[column++] = c;
    }
  }
  return rows;
}

bool blank(std::string_view text) { return text.find_first_not_of(' ') == std::string_view::npos; }

// The progress texts written to the terminal (the pieces between carriage returns that say
// something), with the byte counts they show.
struct progress_seen {
  std::vector<std::string> texts;
  std::vector<std::uint64_t> counts;
};
progress_seen progress_texts(std::string_view bytes) {
  progress_seen seen;
  std::size_t at = 0;
  while ((at = bytes.find('\r', at)) != std::string_view::npos) {
    const std::size_t end = std::min(bytes.find_first_of("\r\n", at + 1), bytes.size());
    const std::string text(bytes.substr(at + 1, end - at - 1));
    at = end;
    if (blank(text)) continue;
    seen.texts.push_back(text);
    // "<count> B received, <rate> B/s, <seconds>.<tenths> s", then blanks over a longer text.
    unsigned long long count = 0, rate = 0;
    unsigned seconds = 0, tenths = 0;
    int used = -1;
    if (std::sscanf(text.c_str(), "%llu B received, %llu B/s, %u.%1u s%n", &count, &rate, &seconds, &tenths,
                    &used) == 4 &&
        used >= 0 && blank(std::string_view(text).substr(static_cast<std::size_t>(used)))) {
      seen.counts.push_back(count);
    }
  }
  return seen;
}

// The Windows build under wine gets a Linux pseudo-terminal as its console, which proves nothing
// about a Windows console: the terminal cases state that instead of running.
const char* const windows_console_note =
    "wine's console on a Linux terminal is not the Windows console (README, Windows: what wine cannot show)";

// What no terminal sees: the bytes kobrant writes to the file or the console are the same
// with the progress line on the terminal or without.
using console = kobrant_e2e;

TEST_F(console, closed_standard_streams_are_harmless) {
  if (tool_is_windows()) GTEST_SKIP() << "a descriptor closed for wine is not a Windows process started without that handle";
  // A command long enough that its echo lines fill stdio's buffer during the send phase: with
  // standard output closed they used to land in the /o= file, which took descriptor 1.
  const std::string text = text_pattern(6000);
  const auto out_file = files / "answer.bin";
  for (const std::string closed : {">&-", "<&- >&-", "<&- >&- 2>&-"}) {
    SCOPED_TRACE(closed);
    std::filesystem::remove(out_file);
    const auto result = run_process("/bin/sh", {"-c", "exec \"$0\" \"$@\" " + closed, kobrant_path(), address(),
                                                "/c=ECHO? " + text, "/b=64", "/o=" + out_file.string()});
    EXPECT_EQ(result.status, 0) << describe(result);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, text + "\n") << first_difference(text + "\n", got);
  }
}

TEST_F(console, a_closed_standard_error_never_sends_the_status_line_to_the_instrument) {
  // The instrument's socket took descriptor 2, and the report of its timeout went to it.
  const auto result = run_process("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&-", kobrant_path(), address(),
                                              "/c=SILENT?", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(sim.wait_for_record(2, std::chrono::milliseconds(500)),
            (std::vector<record_entry>{{"SOCKET", false, "SILENT?\n"}}));
}

TEST_F(console, a_terminal_as_both_command_source_and_output_file_is_no_conflict) {
  if (tool_is_windows()) GTEST_SKIP() << windows_console_note;
  // /dev/stdin and /dev/stdout lead to the same terminal: nothing is overwritten by writing
  // the answer there, so the run is not refused. The terminal ends the typed command with ^D.
  const auto run = run_on_terminal(files, {address(), "/c=/dev/stdin", "/o=/dev/stdout", "/l"}, stream::terminal,
                                   stream::file, "*IDN?\n\x04", false);
  EXPECT_EQ(run.status, 0) << run.terminal;
  EXPECT_NE(run.terminal.find(identification.substr(0, identification.size() - 1)), std::string::npos)
      << run.terminal;
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"}}));
}

// 20 text bytes and a newline, one every 60 ms: read a byte at a time, the transfer lasts over
// a second, whatever the machine's speed.
const std::string drip_command = "/c=DRIP? 20 60";
const std::string drip_answer = text_pattern(20) + "\n";

TEST_F(console, a_long_transfer_into_a_file_shows_progress_on_a_terminal_then_erases_it) {
  if (tool_is_windows()) GTEST_SKIP() << windows_console_note;
  const auto out_file = files / "drip.txt";
  const auto run = run_on_terminal(files, {address(), drip_command, "/b=1", "/l", "/o=" + out_file.string()},
                                   stream::file, stream::terminal);
  ASSERT_EQ(run.status, 0) << run.terminal;
  EXPECT_EQ(read_file(out_file), drip_answer);
  EXPECT_EQ(run.out, "");

  const auto seen = progress_texts(run.terminal);
  ASSERT_FALSE(seen.texts.empty()) << "no progress line: \"" << run.terminal << "\"";
  ASSERT_EQ(seen.counts.size(), seen.texts.size()) << "a progress text of an unexpected form";
  EXPECT_TRUE(std::is_sorted(seen.counts.begin(), seen.counts.end()));
  EXPECT_LE(seen.counts.back(), drip_answer.size());
  EXPECT_GT(seen.counts.front(), 0u);
  // Nothing of it is left on the screen, and the cursor is back at the start of the row.
  const auto rows = screen_rows(run.terminal);
  EXPECT_EQ(rows.size(), 1u);
  EXPECT_TRUE(blank(rows.front())) << rows.front();
  EXPECT_TRUE(run.terminal.ends_with('\r'));
}

TEST_F(console, no_progress_without_a_terminal_or_without_an_output_file) {
  if (tool_is_windows()) GTEST_SKIP() << windows_console_note;
  const auto out_file = files / "drip.txt";
  struct {
    const char* what;
    bool into_file;
    stream err;
  } cases[] = {
      {"into a file, standard error a file", true, stream::file},
      {"to the console, standard error a terminal", false, stream::terminal},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> args = {address(), drip_command, "/b=1", "/l"};
    if (c.into_file) args.push_back("/o=" + out_file.string());
    const auto run = run_on_terminal(files, args, stream::file, c.err);
    ASSERT_EQ(run.status, 0) << run.terminal;
    EXPECT_EQ(run.terminal, "");
    EXPECT_EQ(run.out, c.into_file ? "" : drip_answer);
    if (c.into_file) {
      EXPECT_EQ(read_file(out_file), drip_answer);
    }
  }
}

// An instrument that answers any message with the given bytes, one every gap, and then falls
// silent until the client leaves.
class dripping_then_silent {
 public:
  dripping_then_silent(std::string answer, std::chrono::milliseconds gap)
      : server_([this, answer = std::move(answer), gap] { serve(answer, gap); }) {}
  ~dripping_then_silent() {
    ::shutdown(listening_.fd(), SHUT_RDWR);  // wakes a server still waiting for its client
    server_.join();
  }
  dripping_then_silent(const dripping_then_silent&) = delete;
  dripping_then_silent& operator=(const dripping_then_silent&) = delete;

  std::string resource() const {
    return "TCPIP0::127.0.0.1::" + std::to_string(listening_.port()) + "::SOCKET";
  }

 private:
  void serve(const std::string& answer, std::chrono::milliseconds gap) {
    pollfd p{listening_.fd(), POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) return;
    const int connection = ::accept4(listening_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    char byte = 0;
    while (::recv(connection, &byte, 1, 0) == 1 && byte != '\n') {
    }
    for (const char c : answer) {
      if (::send(connection, &c, 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(gap);
    }
    pollfd q{connection, POLLIN, 0};
    while (::poll(&q, 1, 30000) == 1 && ::recv(connection, &byte, 1, 0) == 1) {
    }
    ::close(connection);
  }

  held_port listening_{true};
  std::thread server_;
};

TEST(console_failure, the_progress_line_is_erased_before_the_status_line) {
  if (tool_is_windows()) GTEST_SKIP() << windows_console_note;
  temp_dir files;
  dripping_then_silent instrument(text_pattern(20), std::chrono::milliseconds(60));
  const auto out_file = files / "partial.txt";
  const auto run = run_on_terminal(files, {"/a=" + instrument.resource(), "/c=*IDN?", "/b=1", "/t=500", "/l",
                                           "/o=" + out_file.string()},
                                   stream::file, stream::terminal);
  EXPECT_EQ(run.status, exit_visa_failure) << run.terminal;
  EXPECT_EQ(read_file(out_file), text_pattern(20));
  EXPECT_FALSE(progress_texts(run.terminal).counts.empty()) << run.terminal;
  // The status line took the progress line's place: nothing of it is left before, in or after
  // the status text.
  const auto rows = screen_rows(run.terminal);
  ASSERT_EQ(rows.size(), 2u) << run.terminal;
  EXPECT_TRUE(rows[0].starts_with("VISA Status (" + std::to_string(visa_timeout) + "): ")) << rows[0];
  EXPECT_EQ(rows[0].find(" received"), std::string::npos) << rows[0];
  EXPECT_EQ(rows[1], "");
}

}  // namespace
}  // namespace kobrant::test
