// kobrant's standard streams: started with some of them closed, and with a terminal as the
// command source and the output file.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <regex>
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

using console = kobrant_e2e;

TEST_F(console, closed_standard_streams_are_harmless) {
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
  // /dev/stdin and /dev/stdout lead to the same terminal: nothing is overwritten by writing
  // the answer there, so the run is not refused. The terminal ends the typed command with ^D.
  const auto run = run_on_terminal(files, {address(), "/c=/dev/stdin", "/o=/dev/stdout", "/l"}, stream::terminal,
                                   stream::file, "*IDN?\n\x04", false);
  EXPECT_EQ(run.status, 0) << run.terminal;
  EXPECT_NE(run.terminal.find(identification.substr(0, identification.size() - 1)), std::string::npos)
      << run.terminal;
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SOCKET", false, "*IDN?\n"}}));
}

}  // namespace
}  // namespace kobrant::test
