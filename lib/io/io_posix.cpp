// The I/O unit on POSIX: descriptors closed once, deadlines on the steady clock, and every wait
// a poll() that also watches the deadline's wake-up descriptor (an eventfd), so no wait outlives
// its deadline or a session that is closing.
#include "io.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace kobrant::visa {

void unique_fd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

wake_signal::wake_signal() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void wake_signal::fire() noexcept {
  // The counter is never read back, so the descriptor stays readable for good.
  if (fd_) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
  }
}

deadline deadline::after_ms(ViUInt32 timeout_ms, int wake_fd) {
  deadline d;
  d.wake_fd_ = wake_fd;
  if (timeout_ms == VI_TMO_INFINITE) {
    d.infinite_ = true;
  } else {
    d.at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  }
  return d;
}

int deadline::poll_ms() const {
  if (infinite_) return -1;
  auto left = at_ - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

bool deadline::expired() const {
  return !infinite_ && std::chrono::steady_clock::now() >= at_;
}

ViStatus errno_to_status(int error) {
  switch (error) {
    case ECONNRESET: case EPIPE: case ENOTCONN: case ESHUTDOWN: case ECONNABORTED:
    case EHOSTUNREACH: case ENETUNREACH: case ENETDOWN:
      return VI_ERROR_CONN_LOST;
    case ETIMEDOUT:
      return VI_ERROR_TMO;
    case ENOMEM: case ENOBUFS:
      return VI_ERROR_ALLOC;
    default:
      return VI_ERROR_IO;
  }
}

namespace {

// Polls fd (skipped when negative) and the deadline's wake-up for at most timeout_ms.
// Returns poll's result; woken tells whether the wake-up fired.
int poll_with_wake(int fd, short events, const deadline& until, int timeout_ms, bool& woken) {
  pollfd p[2] = {{fd, events, 0}, {until.wake_fd(), POLLIN, 0}};
  int n = ::poll(p, 2, timeout_ms);
  woken = n > 0 && p[1].revents != 0;
  return n;
}

}  // namespace

ViStatus pause_ms(int ms, const deadline& until) {
  bool woken = false;
  const int n = poll_with_wake(-1, 0, until, ms, woken);
  return woken || (n < 0 && errno == EINTR) ? VI_ERROR_ABORT : VI_SUCCESS;
}

bool deadline::woken() const {
  bool woken = false;
  poll_with_wake(-1, 0, *this, 0, woken);
  return woken;
}

ViStatus wait_ready(int fd, short events, const deadline& until) {
  bool woken = false;
  int n = poll_with_wake(fd, events, until, until.poll_ms(), woken);
  if (woken) return VI_ERROR_ABORT;
  // Readiness includes errors and hang-ups: the following call reports them precisely.
  if (n > 0) return VI_SUCCESS;
  if (n == 0) return VI_ERROR_TMO;
  return errno == EINTR ? VI_ERROR_ABORT : errno_to_status(errno);
}

ViStatus drain_until_quiet(int fd, const deadline& until) {
  std::byte scratch[16384];
  for (;;) {
    const ssize_t n = ::read(fd, scratch, sizeof scratch);
    if (n > 0) {
      if (until.expired()) return VI_ERROR_TMO;  // still arriving: the line never went quiet
      if (until.woken()) return VI_ERROR_ABORT;  // the session is closing
      continue;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    // A signal ends the clear as it ends every wait.
    if (errno == EINTR) return VI_ERROR_ABORT;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno_to_status(errno);
    // Nothing there now: wait the quiet interval, never past the deadline, for more.
    const int quiet = until.infinite() ? clear_quiet_ms : std::min(clear_quiet_ms, until.poll_ms());
    bool woken = false;
    const int ready = poll_with_wake(fd, POLLIN, until, quiet, woken);
    if (woken) return VI_ERROR_ABORT;
    if (ready == 0) return VI_SUCCESS;
    if (ready < 0) return errno == EINTR ? VI_ERROR_ABORT : errno_to_status(errno);
  }
}

}  // namespace kobrant::visa
