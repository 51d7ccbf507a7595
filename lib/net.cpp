// Socket plumbing for the TCP transports. Every wait is a poll() bounded by the operation's
// deadline; sockets are non-blocking so no call can sleep past it.
#include "net.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kobrant::visa {

void unique_fd::reset(int fd) noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

deadline deadline::after_ms(ViUInt32 timeout_ms) {
  deadline d;
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

ViStatus wait_ready(int fd, short events, const deadline& until) {
  for (;;) {
    pollfd p{fd, events, 0};
    int timeout = until.poll_ms();
    int n = ::poll(&p, 1, timeout);
    if (n > 0) {
      // Readiness includes errors and hang-ups: the following call reports them precisely.
      return VI_SUCCESS;
    }
    if (n == 0) return VI_ERROR_TMO;
    if (errno != EINTR) return errno_to_status(errno);
  }
}

namespace {

// One non-blocking connect attempt to one address, bounded by the deadline.
ViStatus connect_one(const addrinfo& ai, const deadline& until, unique_fd& out) {
  unique_fd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol));
  if (!fd) return errno_to_status(errno);
  if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      return errno == ECONNREFUSED ? VI_ERROR_RSRC_NFOUND : errno_to_status(errno);
    }
    // A zero deadline still lets a loopback or LAN connect that is already under way finish.
    ViStatus st = wait_ready(fd.get(), POLLOUT, until);
    if (st < 0) return st;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
    if (error != 0) {
      return (error == ECONNREFUSED || error == EHOSTUNREACH || error == ENETUNREACH)
                 ? VI_ERROR_RSRC_NFOUND
                 : errno_to_status(error);
    }
  }
  int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  out = std::move(fd);
  return VI_SUCCESS;
}

}  // namespace

ViStatus tcp_connect(const std::string& host, std::uint16_t port, const deadline& until, unique_fd& out) {
  // An address literal needs no resolver: skipping it saves a netlink round trip and the
  // name-service probes on every run.
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    addrinfo ai{};
    ai.ai_family = AF_INET;
    ai.ai_socktype = SOCK_STREAM;
    ai.ai_addr = reinterpret_cast<sockaddr*>(&v4);
    ai.ai_addrlen = sizeof v4;
    return connect_one(ai, until, out);
  }
  if (host.find('%') == std::string::npos && ::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    addrinfo ai{};
    ai.ai_family = AF_INET6;
    ai.ai_socktype = SOCK_STREAM;
    ai.ai_addr = reinterpret_cast<sockaddr*>(&v6);
    ai.ai_addrlen = sizeof v6;
    return connect_one(ai, until, out);
  }

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  addrinfo* list = nullptr;
  std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  if (rc == EAI_ADDRFAMILY || rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAIL) {
    // AI_ADDRCONFIG hides ::1 on a host whose only interface is loopback; ask again without it.
    hints.ai_flags = AI_NUMERICSERV;
    rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
  }
  if (rc != 0) return rc == EAI_MEMORY ? VI_ERROR_ALLOC : VI_ERROR_RSRC_NFOUND;

  ViStatus status = VI_ERROR_RSRC_NFOUND;
  for (addrinfo* ai = list; ai; ai = ai->ai_next) {
    status = connect_one(*ai, until, out);
    if (status >= 0 || status == VI_ERROR_TMO) break;
  }
  ::freeaddrinfo(list);
  return status;
}

ViStatus send_all(int fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                  const deadline& until, std::size_t& written) {
  written = 0;
  const std::size_t total = head.size() + tail.size();
  while (written < total) {
    iovec iov[2];
    int count = 0;
    if (written < head.size()) {
      iov[count++] = {const_cast<std::byte*>(head.data() + written), head.size() - written};
      if (!tail.empty()) iov[count++] = {const_cast<std::byte*>(tail.data()), tail.size()};
    } else {
      std::size_t off = written - head.size();
      iov[count++] = {const_cast<std::byte*>(tail.data() + off), tail.size() - off};
    }
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(count);
    ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      ViStatus st = wait_ready(fd, POLLOUT, until);
      if (st < 0) return st;
      continue;
    }
    return errno_to_status(errno);
  }
  return VI_SUCCESS;
}

ViStatus receive_some(int fd, std::span<std::byte> space, const deadline& until, std::size_t& count) {
  count = 0;
  if (space.empty()) return VI_SUCCESS;
  for (;;) {
    ssize_t n = ::recv(fd, space.data(), space.size(), 0);
    if (n > 0) {
      count = static_cast<std::size_t>(n);
      return VI_SUCCESS;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno_to_status(errno);
    ViStatus st = wait_ready(fd, POLLIN, until);
    if (st < 0) return st;
  }
}

ViStatus receive_exact(int fd, std::span<std::byte> space, const deadline& until) {
  std::size_t done = 0;
  while (done < space.size()) {
    std::size_t n = 0;
    ViStatus st = receive_some(fd, space.subspan(done), until, n);
    if (st < 0) return st;
    done += n;
  }
  return VI_SUCCESS;
}

ViStatus drain_until_quiet(int fd, const deadline& until) {
  std::byte scratch[16384];
  for (;;) {
    const ssize_t n = ::read(fd, scratch, sizeof scratch);
    if (n > 0) {
      if (until.expired()) return VI_ERROR_TMO;  // still arriving: the line never went quiet
      continue;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno_to_status(errno);
    // Nothing there now: wait the quiet interval, never past the deadline, for more.
    const int quiet = until.infinite() ? clear_quiet_ms : std::min(clear_quiet_ms, until.poll_ms());
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, quiet);
    if (ready == 0) return VI_SUCCESS;
    if (ready < 0 && errno != EINTR) return errno_to_status(errno);
  }
}

}  // namespace kobrant::visa
