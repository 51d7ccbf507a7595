// Child processes for the end-to-end tests (see process.h).
#include "process.h"
#include "tool_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char** environ;

namespace kobrant::test {
namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

struct pipe_pair {
  int read_end = -1;
  int write_end = -1;
  pipe_pair() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("pipe2");
    read_end = fds[0];
    write_end = fds[1];
  }
  ~pipe_pair() {
    close_read();
    close_write();
  }
  void close_read() {
    if (read_end >= 0) ::close(read_end);
    read_end = -1;
  }
  void close_write() {
    if (write_end >= 0) ::close(write_end);
    write_end = -1;
  }
};

// Writing a child's stdin after it exited must fail with EPIPE, not kill the test.
void ignore_sigpipe() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  static_cast<void>(done);
}

}  // namespace

std::string kobrant_path() {
  // Another build of kobrant, or a script that runs one (the Windows build under wine).
  if (const char* other = std::getenv("KOBRANT_TEST_TOOL"); other && *other) return other;
#ifdef KOBRANT_BIN
  return KOBRANT_BIN;
#else
  throw std::runtime_error("kobrant was not part of this build");
#endif
}

std::string simulator_path() {
#ifdef KOBRANT_SIM_BIN
  return KOBRANT_SIM_BIN;
#else
  throw std::runtime_error("kobrant-sim was not part of this build");
#endif
}

process_result run_kobrant(const std::vector<std::string>& args, std::string_view input) {
  const char* wrapper = std::getenv("KOBRANT_TEST_WRAPPER");
  if (wrapper == nullptr || *wrapper == '\0') {
    process_result result = run_process(kobrant_path(), args, input);
    if (tool_is_windows()) {
      result.out = from_console_text(result.out);
      result.err = from_console_text(result.err);
    }
    return result;
  }
  std::vector<std::string> words;
  std::istringstream split(wrapper);
  for (std::string word; split >> word;) words.push_back(word);
  const std::string program = words.front();
  words.erase(words.begin());
  words.push_back(kobrant_path());
  words.insert(words.end(), args.begin(), args.end());
  // A memory checker slows start-up and every call tenfold or more.
  return run_process(program, words, input, std::chrono::seconds(120));
}

int spawn_process(const std::string& program, const std::vector<std::string>& args,
                  int stdin_fd, int stdout_fd, int stderr_fd) {
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back(program);
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : storage) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (stdin_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdin_fd, 0);
  if (stdout_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stdout_fd, 1);
  if (stderr_fd >= 0) posix_spawn_file_actions_adddup2(&actions, stderr_fd, 2);

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  sigset_t all;
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::system_error(rc, std::generic_category(), "cannot start " + program);
  return pid;
}

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           std::string_view input, std::chrono::milliseconds limit) {
  ignore_sigpipe();
  pipe_pair in, out, err;
  const pid_t pid = spawn_process(program, args, in.read_end, out.write_end, err.write_end);
  in.close_read();
  out.close_write();
  err.close_write();
  ::fcntl(in.write_end, F_SETFL, O_NONBLOCK);
  if (input.empty()) in.close_write();

  process_result result;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[65536];
  while (out.read_end >= 0 || err.read_end >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      result.hung = true;
      break;
    }
    pollfd fds[3] = {{out.read_end, POLLIN, 0}, {err.read_end, POLLIN, 0},
                     {in.write_end, POLLOUT, 0}};
    const int ready = ::poll(fds, 3, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) throw_errno("poll");
    if (ready <= 0) continue;
    const auto drain = [&](pipe_pair& p, short revents, std::string& into) {
      if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
      const ssize_t n = ::read(p.read_end, buffer, sizeof buffer);
      if (n > 0) into.append(buffer, static_cast<std::size_t>(n));
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) p.close_read();
    };
    drain(out, fds[0].revents, result.out);
    drain(err, fds[1].revents, result.err);
    if (in.write_end >= 0 && fds[2].revents) {
      const ssize_t n = ::write(in.write_end, input.data(), input.size());
      if (n > 0) input.remove_prefix(static_cast<std::size_t>(n));
      // A child that stopped reading (EPIPE) simply does not get the rest.
      if (input.empty() || (n < 0 && errno != EINTR && errno != EAGAIN)) in.close_write();
    }
  }
  in.close_write();

  // A child that closed its output early may still be running: bound that wait as well.
  auto wait_status = wait_for_exit(pid, deadline);
  if (!wait_status) {
    ::kill(pid, SIGKILL);
    result.hung = true;
    wait_status = wait_for_exit(pid, std::chrono::steady_clock::time_point::max());
  }
  if (!wait_status) return result;
  if (WIFEXITED(*wait_status)) result.status = WEXITSTATUS(*wait_status);
  if (WIFSIGNALED(*wait_status)) result.term_signal = WTERMSIG(*wait_status);
  return result;
}

std::optional<int> wait_for_exit(int pid, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int wait_status = 0;
    const pid_t done = ::waitpid(pid, &wait_status, WNOHANG);
    if (done == pid) return wait_status;
    if (done < 0 && errno != EINTR) throw_errno("waitpid");
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // No descriptor tells a parent that a child ended, so look again shortly.
    ::usleep(2000);
  }
}

std::string read_until_closed(int fd, std::chrono::milliseconds bound) {
  std::string bytes;
  const auto until = std::chrono::steady_clock::now() + bound;
  char buffer[65536];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) return bytes;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return bytes;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string describe(const process_result& result) {
  std::string text = "exit status " + std::to_string(result.status);
  if (result.term_signal != 0) text += ", killed by signal " + std::to_string(result.term_signal);
  if (result.hung) text += ", HUNG (killed after the time limit)";
  text += "\nstderr: " + result.err;
  text += "\nstdout (" + std::to_string(result.out.size()) + " bytes): " + result.out.substr(0, 2000);
  return text;
}

}  // namespace kobrant::test
