// TCP for the network transports. Every wait is bounded by the operation's deadline: sockets
// connect non-blocking, and afterwards either stay so or wait only inside a receive bounded by
// the socket's receive timeout (receive_wait), every other call saying it must not wait; a
// signal ends a wait with VI_ERROR_ABORT instead of restarting it (a receive with a timeout is
// never restarted). The calls that differ between systems are in sockets.h.
#include "net.h"
#include "sockets.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace kobrant::visa {

namespace {

// The last failed open of this thread, with its detail. The status is kept apart so that the
// path every successful open takes touches only a plain word: the string's thread-exit
// destructor is registered the first time a failure is noted, not on every run.
thread_local ViStatus last_open_status = VI_SUCCESS;
thread_local std::string last_open_detail;

// A later address starts this long after the one before while that one is still in flight:
// long enough that a host answering at once is not asked twice, short enough that a dead
// first address costs little.
constexpr auto connect_stagger = std::chrono::milliseconds(250);

// One address to try, copied out of the resolver's list.
struct candidate {
  sockaddr_storage address{};
  socklen_t length = 0;
  int family = AF_UNSPEC;
};

// "10.0.0.1:5025" or "[::1]:5025", for failure details.
std::string address_text(const candidate& c) {
  char host[INET6_ADDRSTRLEN] = "?";
  std::uint16_t port = 0;
  if (c.family == AF_INET) {
    const auto& a = reinterpret_cast<const sockaddr_in&>(c.address);
    ::inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
    port = ntohs(a.sin_port);
    return std::string(host) + ":" + std::to_string(port);
  }
  const auto& a = reinterpret_cast<const sockaddr_in6&>(c.address);
  ::inet_ntop(AF_INET6, &a.sin6_addr, host, sizeof host);
  port = ntohs(a.sin6_port);
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + std::string.
  std::string text = "[";
  text += host;
  text += "]:";
  text += std::to_string(port);
  return text;
}

struct attempt {
  unique_fd fd;
  const candidate* target = nullptr;
};

// Tries the addresses in order: each starts once the one before has failed or has been in
// flight for connect_stagger; the first to connect wins and the others are closed.
ViStatus connect_any(const std::vector<candidate>& targets, const deadline& until, unique_fd& out) {
  std::vector<attempt> flying;
  std::vector<io_handle> waits;
  std::vector<int> outcome;
  std::size_t next = 0;
  auto next_start = std::chrono::steady_clock::now();
  int last_error = 0;
  std::string last_where;
  auto failed = [&](const candidate& c, int error) {
    last_error = error;
    last_where = address_text(c);
  };

  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (next < targets.size() && (flying.empty() || now >= next_start)) {
      const candidate& c = targets[next++];
      unique_fd fd(sockets::open_stream(c.family, true));
      if (!fd) {
        // A family this system does not offer is one address less; the next may do.
        failed(c, sockets::last_error());
        continue;
      }
      const int error = sockets::start_connect(fd.get(), reinterpret_cast<const sockaddr*>(&c.address), c.length);
      if (error == 0) {
        out = std::move(fd);
        return VI_SUCCESS;
      }
      if (sockets::connect_underway(error)) {
        flying.push_back({std::move(fd), &c});
        next_start = now + connect_stagger;
      } else {
        failed(c, error);
      }
      continue;
    }
    if (flying.empty()) break;  // every address failed

    int timeout = until.poll_ms();
    if (next < targets.size()) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(next_start - now).count();
      int stagger_ms = static_cast<int>(std::max<decltype(left)>(left, 0));
      timeout = timeout < 0 ? stagger_ms : std::min(timeout, stagger_ms);
    }
    waits.clear();
    for (const attempt& a : flying) waits.push_back(a.fd.get());
    const int n = sockets::wait_connecting(waits, timeout, outcome);
    if (n < 0) {
      const int error = sockets::last_error();
      const ViStatus st = sockets::interrupted(error) ? VI_ERROR_ABORT : errno_to_status(error);
      note_open_failure(st, "connect: " + sockets::error_text(error));
      return st;
    }
    if (n == 0) {
      // A zero deadline still let connects already under way (loopback, LAN) finish above.
      if (until.expired()) break;
      continue;
    }
    for (std::size_t i = waits.size(); i-- > 0;) {
      if (outcome[i] < 0) continue;
      const int error = outcome[i];
      if (error == 0) {
        out = std::move(flying[i].fd);
        return VI_SUCCESS;  // the others close as flying goes
      }
      failed(*flying[i].target, error);
      flying.erase(flying.begin() + static_cast<std::ptrdiff_t>(i));
    }
    // A failure frees the way for the next address at once.
    next_start = std::chrono::steady_clock::now();
  }

  if (!flying.empty()) {
    note_open_failure(VI_ERROR_TMO, "connect to " + address_text(*flying.front().target) +
                                        ": no answer within the open timeout");
    return VI_ERROR_TMO;
  }
  const ViStatus st = sockets::connect_failure_status(last_error);
  note_open_failure(st, "connect to " + last_where + ": " + sockets::error_text(last_error));
  return st;
}

candidate literal_candidate(const void* address, int family, std::uint16_t port) {
  candidate c;
  c.family = family;
  if (family == AF_INET) {
    auto& a = reinterpret_cast<sockaddr_in&>(c.address);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    std::memcpy(&a.sin_addr, address, sizeof a.sin_addr);
    c.length = sizeof a;
  } else {
    auto& a = reinterpret_cast<sockaddr_in6&>(c.address);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    std::memcpy(&a.sin6_addr, address, sizeof a.sin6_addr);
    c.length = sizeof a;
  }
  return c;
}

}  // namespace

void note_open_failure(ViStatus status, std::string detail) {
  last_open_detail = std::move(detail);
  last_open_status = status;
}

// The detail stays until the next failure replaces it; it is only ever read beside its status.
void forget_open_failure() noexcept { last_open_status = VI_SUCCESS; }

std::string open_failure_detail(ViStatus status) {
  if (status >= 0 || status != last_open_status) return {};
  return last_open_detail;
}

ViStatus tcp_connect(const std::string& host, std::uint16_t port, const deadline& until, unique_fd& out) {
  sockets::start();
  std::vector<candidate> targets;
  // An address literal needs no resolver: skipping it saves a netlink round trip and the
  // name-service probes on every run.
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    targets.push_back(literal_candidate(&v4, AF_INET, port));
  } else if (host.find('%') == std::string::npos && ::inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
    targets.push_back(literal_candidate(&v6, AF_INET6, port));
  } else {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    if (sockets::retry_without_addrconfig(rc)) {
      hints.ai_flags = AI_NUMERICSERV;
      rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    }
    if (rc != 0) {
      const ViStatus st = rc == EAI_MEMORY ? VI_ERROR_ALLOC : VI_ERROR_RSRC_NFOUND;
      note_open_failure(st, "resolve " + host + ": " + sockets::lookup_error_text(rc));
      return st;
    }
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
      candidate c;
      std::memcpy(&c.address, ai->ai_addr, ai->ai_addrlen);
      c.length = static_cast<socklen_t>(ai->ai_addrlen);
      c.family = ai->ai_family;
      targets.push_back(c);
    }
    ::freeaddrinfo(list);
    if (targets.empty()) {
      note_open_failure(VI_ERROR_RSRC_NFOUND, "resolve " + host + ": no usable address");
      return VI_ERROR_RSRC_NFOUND;
    }
  }

  ViStatus status = connect_any(targets, until, out);
  if (status < 0) return status;
  sockets::set_flag(out.get(), IPPROTO_TCP, TCP_NODELAY, true);
  return VI_SUCCESS;
}

ViStatus send_all(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                  const deadline& until, std::size_t& written) {
  written = 0;
  const std::size_t total = head.size() + tail.size();
  while (written < total) {
    const auto rest_of_head = written < head.size() ? head.subspan(written) : std::span<const std::byte>();
    const auto rest_of_tail = written <= head.size() ? tail : tail.subspan(written - head.size());
    const long n = sockets::send_some(fd, rest_of_head, rest_of_tail, false, true);
    if (n > 0) {
      written += static_cast<std::size_t>(n);
      continue;
    }
    const int error = sockets::last_error();
    if (sockets::interrupted(error)) return VI_ERROR_ABORT;
    if (sockets::would_block(error)) {
      ViStatus st = wait_ready(fd, POLLOUT, until);
      if (st < 0) return st;
      continue;
    }
    return errno_to_status(error);
  }
  return VI_SUCCESS;
}

ViStatus send_frame(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                    const deadline& until, std::size_t& written, bool started) {
  written = 0;
  bool interrupted = false;
  for (;;) {
    const auto rest_of_head = written < head.size() ? head.subspan(written) : std::span<const std::byte>();
    const auto rest_of_tail = written <= head.size() ? tail : tail.subspan(written - head.size());
    std::size_t more = 0;
    const ViStatus status = send_all(fd, rest_of_head, rest_of_tail, until, more);
    written += more;
    if (status != VI_ERROR_ABORT) return interrupted && status >= 0 ? VI_ERROR_ABORT : status;
    // A woken session is closing: a frame cut short no longer matters, its connection goes.
    if ((!started && written == 0) || until.woken()) return status;
    interrupted = true;
  }
}

void receive_wait::wait_inside(io_handle fd) {
  inside = sockets::wait_inside_receive(fd);
  timeout_set_ms = -1;
}

ViStatus receive_some(io_handle fd, std::span<std::byte> space, const deadline& until, std::size_t& count,
                      receive_wait* how) {
  count = 0;
  if (space.empty()) return VI_SUCCESS;
  const bool inside = how && how->inside;
  if (how && std::exchange(how->answer_due, false) && !inside) {
    if (ViStatus status = wait_ready(fd, POLLIN, until); status < 0) return status;
  }
  for (;;) {
    const int left = inside ? until.poll_ms() : 0;
    long n = 0;
    const wake_signal* wake = until.wake();
    if (left > 0) {
      // The wake-up shuts the socket down to end this wait (wake_signal::blocked_in).
      if (wake && !wake->blocked_in(fd)) return VI_ERROR_ABORT;
      n = sockets::receive_within(fd, space, left, how->timeout_set_ms);
      const int error = sockets::last_error();
      if (wake) wake->blocked_in(invalid_handle);
      if (n <= 0 && until.woken()) return VI_ERROR_ABORT;
      if (n < 0 && sockets::would_block(error)) continue;  // the receive timeout ran out
      if (n < 0) return sockets::interrupted(error) ? VI_ERROR_ABORT : errno_to_status(error);
    } else {
      // No time left (only what is there), no end to the wait, or a socket that never waits.
      n = sockets::receive_some(fd, space, inside);
    }
    if (n > 0) {
      count = static_cast<std::size_t>(n);
      return VI_SUCCESS;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    const int error = sockets::last_error();
    if (sockets::interrupted(error)) return VI_ERROR_ABORT;
    if (!sockets::would_block(error)) return errno_to_status(error);
    ViStatus st = wait_ready(fd, POLLIN, until);
    if (st < 0) return st;
  }
}

ViStatus receive_exact(io_handle fd, std::span<std::byte> space, const deadline& until) {
  std::size_t done = 0;
  while (done < space.size()) {
    std::size_t n = 0;
    ViStatus st = receive_some(fd, space.subspan(done), until, n);
    if (st < 0) return st;
    done += n;
  }
  return VI_SUCCESS;
}

}  // namespace kobrant::visa
