// Starting, reading and stopping kobrant-sim for the tests (see simulator.h).
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "process.h"
#include "tool_platform.h"

namespace kobrant::test {
namespace {

constexpr auto start_bound = std::chrono::seconds(10);
constexpr auto stop_bound = std::chrono::seconds(10);

// The options that each make the simulator serve one more transport, one line each.
bool is_transport_option(const std::string& arg) {
  for (const char* name : {"--socket", "--vxi11", "--hislip", "--serial"}) {
    const std::string n = name;
    if (arg == n || arg.starts_with(n + "=")) return true;
  }
  return false;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case is not what the simulator writes
}

}  // namespace

std::vector<record_entry> read_record(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::vector<record_entry> entries;
  std::string line;
  while (std::getline(file, line)) {
    // A last line without its newline is still being written: what is recorded so far ends
    // before it.
    if (file.eof()) break;
    const auto bad = [&] { return std::runtime_error("malformed record line: " + line); };
    const auto first = line.find(' ');
    const auto second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos) throw bad();
    record_entry entry;
    entry.transport = line.substr(0, first);
    const std::string end = line.substr(first + 1, second - first - 1);
    if (end != "END" && end != "-") throw bad();
    entry.end = end == "END";
    const std::string hex = line.substr(second + 1);
    if (hex.size() % 2 != 0) throw bad();
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      const int hi = hex_value(hex[i]);
      const int lo = hex_value(hex[i + 1]);
      if (hi < 0 || lo < 0) throw bad();
      entry.bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string joined_bytes(const std::vector<record_entry>& entries) {
  std::string all;
  for (const auto& e : entries) all += e.bytes;
  return all;
}

simulator::simulator(std::vector<std::string> extra_args) : record_path_(dir_ / "record") {
  const auto expected_lines = std::max<std::size_t>(
      1, static_cast<std::size_t>(
             std::count_if(extra_args.begin(), extra_args.end(), is_transport_option)));
  std::vector<std::string> args = {"--record", record_path_.string()};
  args.insert(args.end(), extra_args.begin(), extra_args.end());

  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  try {
    pid_ = spawn_process(simulator_path(), args, -1, fds[1], -1);
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  stdout_fd_ = fds[0];

  std::string printed;
  const auto deadline = std::chrono::steady_clock::now() + start_bound;
  while (static_cast<std::size_t>(std::count(printed.begin(), printed.end(), '\n')) <
         expected_lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd p{stdout_fd_, POLLIN, 0};
    const int ready = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    char buffer[4096];
    const ssize_t n = ready > 0 ? ::read(stdout_fd_, buffer, sizeof buffer) : -1;
    if (n <= 0) {
      const int status = stop();
      throw std::runtime_error("kobrant-sim printed no resource name" +
                               std::string(ready == 0 ? " within 10 s" : "") +
                               " (exit status " + std::to_string(status) + "); it printed: " +
                               printed);
    }
    printed.append(buffer, static_cast<std::size_t>(n));
  }
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("ASRL")) serial_device_ = line.substr(4, line.size() - 4 - 7);
    resources_.push_back(tool_serial_resource(line));
  }
}

simulator::~simulator() { stop(); }

std::vector<record_entry> simulator::record() const { return read_record(record_path_); }

std::vector<record_entry> simulator::wait_for_record(std::size_t count,
                                                     std::chrono::milliseconds bound) const {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    auto entries = record();
    if (entries.size() >= count || std::chrono::steady_clock::now() >= deadline) return entries;
    // The record is a plain file with nothing to wait on; look again shortly.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int simulator::stop() {
  if (pid_ < 0) return exit_status_;
  ::kill(pid_, SIGTERM);
  auto status = wait_for_exit(pid_, std::chrono::steady_clock::now() + stop_bound);
  if (!status) {
    ::kill(pid_, SIGKILL);
    status = wait_for_exit(pid_, std::chrono::steady_clock::time_point::max());
  }
  exit_status_ = status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
  pid_ = -1;
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  stdout_fd_ = -1;
  return exit_status_;
}

}  // namespace kobrant::test
