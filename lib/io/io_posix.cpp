// The I/O unit on POSIX: descriptors closed once, every wait a poll() that also watches the
// deadline's wake-up descriptor (an eventfd), or a socket receive bounded by its receive
// timeout that the wake-up ends by shutting the socket down, so no wait outlives its deadline
// or a session that is closing; and the socket calls of sockets.h.
#include "io.h"
#include "sockets.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kobrant::visa {

void unique_fd::reset(io_handle fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

wake_signal::wake_signal() = default;

wake_signal::~wake_signal() {
  if (const io_handle fd = watch_.load(); fd >= 0) ::close(fd);
}

// Nothing to make in advance: the eventfd comes with the first wait that watches it.
bool wake_signal::usable() const noexcept { return true; }

io_handle wake_signal::fd() const noexcept {
  io_handle fd = watch_.load();
  if (fd >= 0) return fd;
  const io_handle made = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (made < 0) return invalid_handle;
  if (!watch_.compare_exchange_strong(fd, made)) {
    ::close(made);  // another thread's wait made one first
    return fd;
  }
  // A fire() that came before the eventfd existed had nothing to write to.
  if (fired_.load()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(made, &one, sizeof one);
  }
  return made;
}

bool wake_signal::blocked_in(io_handle fd) const noexcept {
  blocked_.store(fd);
  return !fired_.load();
}

void wake_signal::fire() noexcept {
  // Flag first, then look for what to wake: a wait that starts meanwhile either sees the
  // flag or is seen here (the atomics are sequentially consistent).
  fired_.store(true);
  // The counter is never read back, so the descriptor stays readable for good.
  if (const io_handle fd = watch_.load(); fd >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &one, sizeof one);
  }
  // A receive blocked on its socket ends once the socket is shut down; the connection is of
  // no further use to a session that is closing.
  if (const io_handle fd = blocked_.load(); fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

long process_id() noexcept { return ::getpid(); }

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
// Returns poll's result; woken tells whether the wake-up fired. -1 with ENOMEM when the
// wake-up has no descriptor to watch.
int poll_with_wake(io_handle fd, short events, const deadline& until, int timeout_ms, bool& woken) {
  woken = false;
  const io_handle wake = until.wake_fd();
  if (until.wake() && wake < 0) {
    errno = ENOMEM;
    return -1;
  }
  pollfd p[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
  int n = ::poll(p, 2, timeout_ms);
  woken = n > 0 && p[1].revents != 0;
  return n;
}

}  // namespace

ViStatus pause_ms(int ms, const deadline& until) {
  bool woken = false;
  const int n = poll_with_wake(-1, 0, until, ms, woken);
  if (woken || (n < 0 && errno == EINTR)) return VI_ERROR_ABORT;
  return n < 0 ? errno_to_status(errno) : VI_SUCCESS;
}

bool deadline::woken() const { return wake_ && wake_->fired(); }

ViStatus wait_ready(io_handle fd, short events, const deadline& until) {
  bool woken = false;
  int n = poll_with_wake(fd, events, until, until.poll_ms(), woken);
  if (woken) return VI_ERROR_ABORT;
  // Readiness includes errors and hang-ups: the following call reports them precisely.
  if (n > 0) return VI_SUCCESS;
  if (n == 0) return VI_ERROR_TMO;
  return errno == EINTR ? VI_ERROR_ABORT : errno_to_status(errno);
}

ViStatus drain_until_quiet(io_handle fd, const deadline& until) {
  std::byte scratch[16384];
  for (;;) {
    // Wait the quiet interval, never past the deadline, for more; a read follows only when
    // something is there, so a socket that blocks never holds the clear up.
    const int quiet = until.infinite() ? clear_quiet_ms : std::min(clear_quiet_ms, until.poll_ms());
    bool woken = false;
    const int ready = poll_with_wake(fd, POLLIN, until, quiet, woken);
    if (woken) return VI_ERROR_ABORT;
    if (ready == 0) return VI_SUCCESS;
    // A signal ends the clear as it ends every wait.
    if (ready < 0) return errno == EINTR ? VI_ERROR_ABORT : errno_to_status(errno);
    const ssize_t n = ::read(fd, scratch, sizeof scratch);
    if (n > 0) {
      if (until.expired()) return VI_ERROR_TMO;  // still arriving: the line never went quiet
      continue;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    if (errno == EINTR) return VI_ERROR_ABORT;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno_to_status(errno);
  }
}

}  // namespace kobrant::visa

namespace kobrant::visa::sockets {

void start() {}

int last_error() { return errno; }

std::string error_text(int error) { return std::strerror(error); }

bool would_block(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

bool interrupted(int error) { return error == EINTR; }

// EINTR: the connect goes on in the background, like EINPROGRESS.
bool connect_underway(int error) { return error == EINPROGRESS || error == EINTR; }

bool address_in_use(int error) { return error == EADDRINUSE; }

bool address_unavailable(int error) { return error == EADDRNOTAVAIL || error == EAFNOSUPPORT; }

bool out_of_resources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

bool aborted_before_accept(int error) { return error == EINTR || error == ECONNABORTED; }

io_handle open_stream(int family, bool non_blocking) {
  return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | (non_blocking ? SOCK_NONBLOCK : 0), IPPROTO_TCP);
}

int start_connect(io_handle fd, const sockaddr* address, socklen_t length) {
  return ::connect(fd, address, length) == 0 ? 0 : errno;
}

namespace {
int connect_error(io_handle fd) {
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
  return error;
}
}  // namespace

int wait_connecting(std::span<const io_handle> connecting, int timeout_ms, std::vector<int>& outcome) {
  std::vector<pollfd> waits;
  for (const io_handle fd : connecting) waits.push_back({fd, POLLOUT, 0});
  const int n = ::poll(waits.data(), waits.size(), timeout_ms);
  outcome.assign(connecting.size(), -1);
  // A failed connect also reports POLLERR or POLLHUP; writable alone means connected.
  for (std::size_t i = 0; n > 0 && i < waits.size(); ++i) {
    const short events = waits[i].revents;
    if (events == 0) continue;
    outcome[i] = events == POLLOUT ? 0 : connect_error(waits[i].fd);
  }
  return n;
}

ViStatus connect_failure_status(int error) {
  switch (error) {
    case EINTR: return VI_ERROR_ABORT;
    case ENOMEM: case ENOBUFS: case EMFILE: case ENFILE: return VI_ERROR_ALLOC;
    case ETIMEDOUT: return VI_ERROR_TMO;
    default: return VI_ERROR_RSRC_NFOUND;
  }
}

bool retry_without_addrconfig(int lookup_error) {
  return lookup_error == EAI_ADDRFAMILY || lookup_error == EAI_NONAME || lookup_error == EAI_NODATA ||
         lookup_error == EAI_FAIL;
}

std::string lookup_error_text(int lookup_error) {
  return lookup_error == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(lookup_error);
}

bool set_flag(io_handle fd, int level, int option, bool on) {
  const int value = on ? 1 : 0;
  return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

long send_some(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail, bool more,
               bool dont_wait) {
  // MSG_NOSIGNAL: a peer that hung up costs one connection, never the process.
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0) | (dont_wait ? MSG_DONTWAIT : 0);
  // One piece (a whole RPC call, say) goes out with send(), which spares the kernel copying in
  // and checking a message header.
  if (head.empty() || tail.empty()) {
    const auto piece = head.empty() ? tail : head;
    return ::send(fd, piece.data(), piece.size(), flags);
  }
  iovec iov[2] = {{const_cast<std::byte*>(head.data()), head.size()},
                  {const_cast<std::byte*>(tail.data()), tail.size()}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = 2;
  return ::sendmsg(fd, &msg, flags);
}

long receive_some(io_handle fd, std::span<std::byte> space, bool dont_wait) {
  return ::recv(fd, space.data(), space.size(), dont_wait ? MSG_DONTWAIT : 0);
}

bool wait_inside_receive(io_handle fd) {
  int non_blocking = 0;
  return ::ioctl(fd, FIONBIO, &non_blocking) == 0;
}

long receive_within(io_handle fd, std::span<std::byte> space, int timeout_ms, int& timeout_set_ms) {
  if (timeout_set_ms < 0 || std::abs(timeout_set_ms - timeout_ms) > receive_timeout_slack_ms) {
    const timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return -1;
    timeout_set_ms = timeout_ms;
  }
  return ::recv(fd, space.data(), space.size(), 0);
}

void reuse_address(io_handle listening) { set_flag(listening, SOL_SOCKET, SO_REUSEADDR, true); }

io_handle accept_connection(io_handle listening) { return ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC); }

void shut_down(io_handle fd, bool both) { ::shutdown(fd, both ? SHUT_RDWR : SHUT_WR); }

// Shutting a listening socket down wakes the thread blocked in accept().
void stop_listening(io_handle listening) { ::shutdown(listening, SHUT_RDWR); }

void reset_on_close(io_handle fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

ViStatus wait_peer_closed(io_handle fd, const deadline& until) {
  // POLLRDHUP: the peer closing its side ends the wait, more bytes from it do not.
  return wait_ready(fd, POLLRDHUP, until);
}

}  // namespace kobrant::visa::sockets
