// Runs a program as a child process, the way the end-to-end tests run kobrant: an argument
// vector (no shell), bytes on its stdin, stdout and stderr captured as bytes, and a bound
// after which it is killed and reported as hung.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kobrant::test {

// Built with AddressSanitizer: its runtime needs the address space to itself and caps
// allocations its own way, and its programs start more slowly.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool address_sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool address_sanitized = true;
#else
inline constexpr bool address_sanitized = false;
#endif
#else
inline constexpr bool address_sanitized = false;
#endif

struct process_result {
  std::string out;
  std::string err;
  int status = -1;       // exit status 0..255; -1 when it did not exit by itself
  int term_signal = 0;   // the signal that ended it, if one did
  bool hung = false;     // killed for running past the bound

  // The exit status read as the signed byte a program returns: 255 -> -1, 254 -> -2.
  int signed_status() const { return status > 127 ? status - 256 : status; }
};

// Paths of the binaries under test, compiled in by CMake; throws when one was not built.
// KOBRANT_TEST_TOOL names another kobrant to test instead (see tool_platform.h).
std::string kobrant_path();
std::string simulator_path();

process_result run_process(const std::string& program, const std::vector<std::string>& args,
                           std::string_view input = {},
                           std::chrono::milliseconds limit = std::chrono::seconds(30));

// Runs kobrant; when KOBRANT_TEST_WRAPPER is set (scripts/valgrind sets it to a valgrind
// command line, split at spaces, the program by its full path), kobrant runs under that
// program, with a longer bound.
process_result run_kobrant(const std::vector<std::string>& args, std::string_view input = {});

// Starts program with the given descriptors as its stdin, stdout and stderr (-1: inherit),
// with default signal handling and an empty signal mask whatever the test process uses.
// Returns the pid; throws std::system_error when the program cannot be started.
int spawn_process(const std::string& program, const std::vector<std::string>& args,
                  int stdin_fd, int stdout_fd, int stderr_fd);

// Waits for the child pid to end, up to deadline; returns its raw wait status, or nothing
// when it is still running then.
std::optional<int> wait_for_exit(int pid, std::chrono::steady_clock::time_point deadline);

// Reads fd until its end (end of file, or an error such as EIO from a pseudo-terminal whose
// other side was closed) or until bound passes; returns what arrived.
std::string read_until_closed(int fd, std::chrono::milliseconds bound);

// A printable summary for failure messages: status, signal, stderr and the start of stdout.
std::string describe(const process_result& result);

}  // namespace kobrant::test
