// An interrupt (SIGINT, SIGTERM) during a long read, one that trickles in or one that has
// stalled: the read ends at once, what arrived is in the file or on the console, the status
// line says the run was aborted, and kobrant ends by that signal, so a shell sees an interrupt
// rather than success. Under wine, SIGINT reaches the Windows build as the console's Ctrl-C.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <ostream>
#include <filesystem>
#include <thread>

#include "e2e.h"

namespace kobrant::test {
namespace {

inline constexpr int visa_abort = -1073807312;
// What a Windows program stopped by Ctrl-C ends with (STATUS_CONTROL_C_EXIT), as wine passes
// it on to Linux: its low byte.
inline constexpr int windows_control_c_exit = 0xC000013A & 0xFF;

struct interrupt_case {
  const char* name;
  int signal;
  bool to_file;
  const char* command = "DRIP? 600 100";  // 600 bytes 100 ms apart: a minute, far past any wait below
  std::size_t answer = 600;
  bool serial = false;
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& os, const interrupt_case& c) { return os << c.name; }

class interrupted_run : public kobrant_e2e, public ::testing::WithParamInterface<interrupt_case> {
 protected:
  interrupted_run() : kobrant_e2e(GetParam().serial ? std::vector<std::string>{"--serial"} : std::vector<std::string>{}) {}
};

TEST_P(interrupted_run, delivers_what_arrived_reports_and_ends_by_the_signal) {
  const auto [name, signal, to_file, command, answer, serial] = GetParam();
  if (tool_is_windows() && signal != SIGINT) {
    GTEST_SKIP() << "wine turns SIGINT into the console's Ctrl-C, but nothing into a console window closing";
  }
  const auto out_file = files / "out.txt";
  const auto err_file = files / "err.txt";
  const auto data_file = files / "data.bin";
  const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  ASSERT_GE(err, 0);
  std::vector<std::string> args = {address(), std::string("/c=") + command, "/t=120000"};
  if (to_file) args.push_back("/o=" + data_file.string());
  const int pid = spawn_process(kobrant_path(), args, -1, out, err);
  ::close(out);
  ::close(err);

  // The file shows bytes as they come; the console's are held in kobrant's own buffer, so
  // there (and for a stalled answer) the command reaching the instrument, and a while after
  // it, have to do.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const bool dripping = std::string_view(command).starts_with("DRIP?");
  if (to_file && dripping) {
    while (std::chrono::steady_clock::now() < give_up &&
           (!std::filesystem::exists(data_file) || std::filesystem::file_size(data_file) < 3)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  } else {
    sim.wait_for_record(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  ASSERT_EQ(::kill(pid, signal), 0);
  const auto status = wait_for_exit(pid, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  ASSERT_TRUE(status.has_value()) << "kobrant did not stop";
  if (tool_is_windows()) {
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), windows_control_c_exit);
  } else {
    ASSERT_TRUE(WIFSIGNALED(*status)) << "exit status " << WEXITSTATUS(*status);
    EXPECT_EQ(WTERMSIG(*status), signal);
  }
  const auto console = [](const std::string& text) { return tool_is_windows() ? from_console_text(text) : text; };
  EXPECT_TRUE(is_status_line(console(read_file(err_file)), visa_abort));

  const std::string printed = console(read_file(out_file));
  std::string received = to_file ? read_file(data_file) : printed;
  if (!to_file) {
    const std::string head = echo(command) + sim.resource() + " -> ";
    ASSERT_TRUE(printed.starts_with(head) && printed.ends_with("\n")) << printed;
    received = printed.substr(head.size(), printed.size() - head.size() - 1);
  }
  EXPECT_FALSE(received.empty());
  EXPECT_TRUE(text_pattern(answer).starts_with(received)) << received;
}

INSTANTIATE_TEST_SUITE_P(signals, interrupted_run,
                         ::testing::Values(interrupt_case{"sigint_to_file", SIGINT, true},
                                           interrupt_case{"sigterm_to_file", SIGTERM, true},
                                           interrupt_case{"sigint_to_console", SIGINT, false},
                                           interrupt_case{"sigterm_to_console", SIGTERM, false},
                                           // Nothing more arrives: only the interrupt can end the read.
                                           interrupt_case{"sigint_stalled_to_file", SIGINT, true, "STALL? 1000", 1000},
                                           interrupt_case{"sigint_stalled_serial_to_file", SIGINT, true, "STALL? 1000",
                                                          1000, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kobrant::test
