// The tool's platform functions on POSIX systems.
#include "platform/platform.h"
#include "exchange/interrupt.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

void read_arguments(int argc, char** argv, program_arguments& arguments) {
  arguments.count = argc;
  arguments.values = argv;
}

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed. Otherwise the next file or
// socket opened takes its number: an /o= file on descriptor 1 would get the echo lines mixed
// into the raw data, and a socket on descriptor 2 would receive the status line. One poll()
// asks after all three at once (a closed one reports POLLNVAL); where it cannot answer, each
// is asked alone. Going up from 0, the lowest free descriptor is always the one being filled.
bool prepare_standard_streams() {
  pollfd streams[3] = {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}};
  const bool polled = ::poll(streams, 3, 0) >= 0;
  for (int fd = 0; fd <= 2; ++fd) {
    const bool closed = polled ? (streams[fd].revents & POLLNVAL) != 0
                               : ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
    if (!closed) continue;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) return false;
    if (null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
  return true;
}

std::FILE* open_file(const char* path, const char* mode) { return std::fopen(path, mode); }

bool names_directory(const char* path) {
  struct stat info {};
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool describe_file(std::FILE* file, file_facts& facts) {
  struct stat info {};
  if (::fstat(::fileno(file), &info) != 0) return false;
  facts.directory = S_ISDIR(info.st_mode);
  facts.regular = S_ISREG(info.st_mode);
  facts.size = facts.regular && info.st_size > 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
  return true;
}

bool is_same_file(std::FILE* file, const char* path) {
  struct stat open_one {};
  struct stat named {};
  if (::fstat(::fileno(file), &open_one) != 0 || !S_ISREG(open_one.st_mode)) return false;
  if (::stat(path, &named) != 0) return false;
  return open_one.st_dev == named.st_dev && open_one.st_ino == named.st_ino;
}

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

// Interrupt handling for a run. A signal that lands while the library waits ends that wait
// (the library reports VI_ERROR_ABORT with what arrived). One that lands between two calls, or
// in the instant after a call's last check and before its wait begins, would leave that wait
// to run its full timeout; so the handler also starts a short repeating timer whose signal
// (caught without SA_RESTART, doing nothing) ends any such wait within a tick, until the run
// has noticed the interrupt.
namespace {

volatile std::sig_atomic_t caught = 0;

constexpr long wake_up_interval_us = 50'000;

void note_interrupt(int signal) {
  caught = signal;
  struct sigaction wake{};
  wake.sa_handler = [](int) {};
  sigemptyset(&wake.sa_mask);
  sigaction(SIGALRM, &wake, nullptr);
  itimerval tick{{0, wake_up_interval_us}, {0, wake_up_interval_us}};
  setitimer(ITIMER_REAL, &tick, nullptr);
}

void stop_wake_ups() {
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
}

}  // namespace

void catch_interrupts() {
  struct sigaction action{};
  action.sa_handler = note_interrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  // Another of them arriving while the first is handled waits until the handler is done.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

int interrupt_signal() {
  const int signal = caught;
  if (signal != 0) stop_wake_ups();
  return signal;
}

void end_if_interrupted() {
  const int signal = caught;
  if (signal == 0) return;
  stop_wake_ups();
  std::signal(signal, SIG_DFL);
  sigset_t only{};
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  std::raise(signal);
}
