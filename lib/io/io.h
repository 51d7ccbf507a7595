// The platform I/O unit: one move-only owner per descriptor, one deadline per operation, and
// bounded waits that a signal or a closing session's wake-up ends. Both the VISA library and the
// simulator build on it; this file states the contract, one source file per platform keeps it.
#pragma once

#include <kobrant/visa.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace kobrant::visa {

// What the system gives for an open socket (and, on POSIX, any descriptor): an int on POSIX, a
// SOCKET on Windows, whose handles are pointer-sized. invalid_handle is the empty value of both.
#ifdef _WIN32
using io_handle = std::uintptr_t;
inline constexpr io_handle invalid_handle = ~io_handle{0};
#else
using io_handle = int;
inline constexpr io_handle invalid_handle = -1;
#endif

// Owns one descriptor (a socket on Windows); invalid_handle is empty. close() is not retried
// on EINTR: on Linux the descriptor is gone either way, and a retry could close one another
// thread just opened.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(io_handle fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  io_handle get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ != invalid_handle; }
  io_handle release() noexcept {
    io_handle fd = fd_;
    fd_ = invalid_handle;
    return fd;
  }
  void reset(io_handle fd = invalid_handle) noexcept;

 private:
  io_handle fd_ = invalid_handle;
};

// A wake-up another thread can give to every wait of one session: once fired, each wait that
// watches it (now or later) ends with VI_ERROR_ABORT. Closing a session fires it, so that a
// read blocked on the session ends before the session's descriptors are released. On Linux it
// is an eventfd, made only when a wait first watches it (most socket waits do not, see
// blocked_in), and firing it also shuts down the socket a receive is blocked on; on Windows a
// loopback socket pair (so socket waits can watch it beside their sockets) and an event object
// (for waits on other handles, such as a serial port's).
class wake_signal {
 public:
  wake_signal();
  ~wake_signal();
  wake_signal(const wake_signal&) = delete;
  wake_signal& operator=(const wake_signal&) = delete;
  // Whether the system gave what a wake-up needs (if not, nothing can be woken).
  bool usable() const noexcept;
  // The descriptor a socket wait watches for readability (invalid_handle when the system
  // cannot give one).
  io_handle fd() const noexcept;
  // The event object non-socket waits watch (Windows; null elsewhere).
  void* event() const noexcept { return event_; }
  void fire() noexcept;
#ifndef _WIN32
  bool fired() const noexcept { return fired_.load(); }
#endif
  // Marks fd as the socket a receive is about to block on (invalid_handle: none any more), so
  // that fire() shuts it down and the receive ends. False when the wake-up has fired already.
  // (Windows never blocks in a receive: nothing to mark.)
  bool blocked_in(io_handle fd) const noexcept;

 private:
#ifdef _WIN32
  unique_fd watch_;
  unique_fd poke_;          // the pair's other end, written by fire() (Windows)
#else
  mutable std::atomic<io_handle> watch_{invalid_handle};    // the eventfd, once made
  mutable std::atomic<io_handle> blocked_{invalid_handle};  // see blocked_in()
  std::atomic<bool> fired_{false};
#endif
  void* event_ = nullptr;   // set by fire() (Windows)
};

// The moment an operation must be over, on the steady clock. Built from a VISA timeout:
// 0 means "only what is already there", VI_TMO_INFINITE means never. A wait bounded by it also
// ends when the wake-up it carries (if any, see wake_signal) has fired.
class deadline {
 public:
  static deadline after_ms(ViUInt32 timeout_ms, const wake_signal* wake = nullptr);
  bool infinite() const { return infinite_; }
  const wake_signal* wake() const { return wake_; }
  io_handle wake_fd() const { return wake_ ? wake_->fd() : invalid_handle; }
  // Whether the wake-up has fired: unlike a signal, it ends the operation for good.
  bool woken() const;
  // Milliseconds left for a wait: -1 for infinite, 0 once expired; rounded up so a wait never
  // ends early.
  int poll_ms() const;
  bool expired() const;

 private:
  std::chrono::steady_clock::time_point at_{};
  bool infinite_ = false;
  const wake_signal* wake_ = nullptr;
};

#ifdef _WIN32
// The process's interrupt wake-up, where an interrupt is no signal that ends a wait by itself
// (Windows runs a console control handler on a thread of its own). Once made, every wait below
// also watches it: interrupt_waits() ends each wait under way, and each that begins before
// calm_interrupt_waits(), with VI_ERROR_ABORT, as a signal's handler does on POSIX. Made once
// and never released, so a handler may give it at any moment; false when the system gave
// nothing to make it of (then an interrupt ends no wait).
bool prepare_interrupt_wake();
// Safe from any thread. Nothing happens before prepare_interrupt_wake().
void interrupt_waits() noexcept;
void calm_interrupt_waits() noexcept;
// The event objects a wait on other handles (a serial port's transfer) watches beside its own:
// the deadline's wake-up and the interrupt wake-up, those that exist. Returns how many.
int wake_events(const deadline& until, void* events[2]) noexcept;
#endif

// Every wait below ends with VI_ERROR_ABORT when a signal handler runs during it (poll() or a
// transfer call failing with EINTR), whether or not the handler asked for restarts: poll() is
// never restarted, so treating every EINTR alike is the only way to behave the same either
// way. The caller gets what arrived before, and the stream stays where it was.

// Waits until fd is ready for events (the platform's POLLIN/POLLOUT; 0 waits for an error or
// a hang-up only). VI_SUCCESS, VI_ERROR_TMO, VI_ERROR_ABORT (a signal, or the deadline's
// wake-up fired), or an error.
ViStatus wait_ready(io_handle fd, short events, const deadline& until);

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
ViStatus drain_until_quiet(io_handle fd, const deadline& until);

// The calling process's id: a session compares it with its opener's to notice that it runs in
// a child made by fork() (POSIX), where the connection is the parent's.
long process_id() noexcept;

// Maps the system's error number of a connected socket (errno; WSAGetLastError() on Windows)
// to a status.
ViStatus errno_to_status(int error);

}  // namespace kobrant::visa
