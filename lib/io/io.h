// The platform I/O unit: one move-only owner per descriptor, one deadline per operation, and
// bounded waits that a signal or a closing session's wake-up ends. Both the VISA library and the
// simulator build on it; this file states the contract, one source file per platform keeps it.
#pragma once

#include <kobrant/visa.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kobrant::visa {

// Owns one descriptor; -1 is empty. close() is not retried on EINTR: on Linux the descriptor is
// gone either way, and a retry could close one another thread just opened.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// A wake-up another thread can give to every wait of one session: once fired, each wait that
// watches it (now or later) ends with VI_ERROR_ABORT. Closing a session fires it, so that a
// read blocked on the session ends before the session's descriptors are released.
class wake_signal {
 public:
  wake_signal();
  // -1 when the system had no descriptor to give (then nothing can be woken).
  int fd() const noexcept { return fd_.get(); }
  void fire() noexcept;

 private:
  unique_fd fd_;
};

// The moment an operation must be over, on the steady clock. Built from a VISA timeout:
// 0 means "only what is already there", VI_TMO_INFINITE means never. A wait bounded by it also
// ends when the wake descriptor it carries (if any, see wake_signal) has fired.
class deadline {
 public:
  static deadline after_ms(ViUInt32 timeout_ms, int wake_fd = -1);
  bool infinite() const { return infinite_; }
  int wake_fd() const { return wake_fd_; }
  // Whether the wake-up has fired: unlike a signal, it ends the operation for good.
  bool woken() const;
  // Milliseconds left for poll(): -1 for infinite, 0 once expired; rounded up so a wait never
  // ends early.
  int poll_ms() const;
  bool expired() const;

 private:
  std::chrono::steady_clock::time_point at_{};
  bool infinite_ = false;
  int wake_fd_ = -1;
};

// Every wait below ends with VI_ERROR_ABORT when a signal handler runs during it (poll() or a
// transfer call failing with EINTR), whether or not the handler asked for restarts: poll() is
// never restarted, so treating every EINTR alike is the only way to behave the same either
// way. The caller gets what arrived before, and the stream stays where it was.

// Waits until fd is ready for events (POLLIN/POLLOUT). VI_SUCCESS, VI_ERROR_TMO,
// VI_ERROR_ABORT (a signal, or the deadline's wake-up fired), or an error.
ViStatus wait_ready(int fd, short events, const deadline& until);

// Sleeps ms milliseconds, less when the deadline's wake-up fires or a signal comes
// (VI_ERROR_ABORT then).
ViStatus pause_ms(int ms, const deadline& until);

// How long a link without a device clear (raw socket, serial line) must stay silent before a
// clear takes it as empty; shortened to the session's timeout when that is shorter.
inline constexpr int clear_quiet_ms = 100;

// Reads and drops whatever arrives on the non-blocking descriptor fd until nothing has come
// for clear_quiet_ms (or until the deadline is nearer): the rest of an answer already on its
// way. VI_SUCCESS once the line was quiet that long; VI_ERROR_TMO when the deadline passes
// while bytes still arrive; VI_ERROR_CONN_LOST when the peer closed; VI_ERROR_ABORT on a wake-up or a
// signal, as every wait here; another error status from errno. An answer the instrument starts only after the quiet interval is not caught.
ViStatus drain_until_quiet(int fd, const deadline& until);

// Maps an errno of a connected socket to a status.
ViStatus errno_to_status(int error);

}  // namespace kobrant::visa
