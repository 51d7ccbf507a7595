// TCP plumbing for the simulator's servers (see tcp.h).
#include "tcp.h"
#include "net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

namespace kobrant::sim {
namespace {

[[noreturn]] void throw_errno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::atomic<bool> both_loopbacks{false};

// The ::1 twin of each listening socket on 127.0.0.1, by the IPv4 socket's descriptor, from
// listen_tcp() until the tcp_server made from that socket takes it.
std::mutex twins_mutex;
std::map<int, unique_fd> twins;

unique_fd take_twin(int fd) {
  std::lock_guard lock(twins_mutex);
  const auto found = twins.find(fd);
  if (found == twins.end()) return {};
  unique_fd twin = std::move(found->second);
  twins.erase(found);
  return twin;
}

unique_fd listen_one(const std::string& address, std::uint16_t port) {
  const socket_address local = numeric_address(address, port);
  unique_fd fd(::socket(local.storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) throw_errno("socket");
  // A restarted simulator must get its fixed port back while old connections linger.
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local.storage), local.length) != 0) {
    throw_errno("cannot listen on " + address + " port " + std::to_string(port));
  }
  if (::listen(fd.get(), SOMAXCONN) != 0) throw_errno("listen");
  return fd;
}

}  // namespace

socket_address numeric_address(const std::string& address, std::uint16_t port) {
  std::string host = address;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (host.empty() || ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    throw bad_address("not a numeric IPv4 or IPv6 address: " + address);
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
  socket_address out;
  std::memcpy(&out.storage, found->ai_addr, found->ai_addrlen);
  out.length = found->ai_addrlen;
  return out;
}

void listen_on_both_loopbacks() { both_loopbacks = true; }

unique_fd listen_tcp(const std::string& address, std::uint16_t port) {
  if (!both_loopbacks || address != "127.0.0.1") return listen_one(address, port);
  // A port the system picked as free on 127.0.0.1 may be taken on ::1: pick again then.
  for (int attempt = 1;; ++attempt) {
    unique_fd v4 = listen_one(address, port);
    const std::uint16_t bound = local_port(v4.get());
    try {
      unique_fd v6 = listen_one("::1", bound);
      std::lock_guard lock(twins_mutex);
      twins[v4.get()] = std::move(v6);
      return v4;
    } catch (const std::system_error& e) {
      const int error = e.code().value();
      if (error == EADDRINUSE && port == 0 && attempt < 20) continue;
      if (error != EADDRNOTAVAIL && error != EAFNOSUPPORT) {
        std::fprintf(stderr, "kobrant-sim: IPv4 only on port %u: %s\n", static_cast<unsigned>(bound), e.what());
      }
      return v4;
    }
  }
}

std::uint16_t local_port(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_errno("getsockname");
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

std::string resource_host(int fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_errno("getsockname");
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET6) {
    ::inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
    std::string bracketed = "[";  // += rather than +: see block_header in instrument.cpp
    bracketed += text;
    bracketed += ']';
    return bracketed;
  }
  ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
  return text;
}

bool send_all(int fd, std::span<const std::byte> bytes, bool more) {
  // MSG_NOSIGNAL as well as the ignored SIGPIPE: a client that hung up must cost one
  // connection, never the process.
  const int flags = MSG_NOSIGNAL | (more ? MSG_MORE : 0);
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), flags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

void hang_up(int fd) { ::shutdown(fd, SHUT_WR); }

void abort_on_close(int fd) {
  const linger abort{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

bool receive_exact(int fd, std::span<std::byte> bytes) {
  return visa::receive_exact(fd, bytes, visa::deadline::after_ms(VI_TMO_INFINITE)) == VI_SUCCESS;
}

bool wait_gap(int fd, std::chrono::milliseconds gap) {
  // No events asked for: only a hang-up or an error ends the wait early, never the client
  // sending more. Every simulator thread has its signals blocked, so no EINTR cuts it short.
  return visa::wait_ready(fd, 0, visa::deadline::after_ms(static_cast<ViUInt32>(gap.count()))) == VI_ERROR_TMO;
}

bool wait_while_connected(int fd, std::uint32_t ms) {
  // POLLRDHUP: the client closing its side ends the wait, more requests from it do not.
  return visa::wait_ready(fd, POLLRDHUP, visa::deadline::after_ms(ms)) == VI_ERROR_TMO;
}

void read_until_closed(int fd) {
  std::byte sink[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n == 0 || (n < 0 && errno != EINTR)) return;
  }
}

tcp_server::tcp_server(unique_fd listening, handler serve)
    : listening_(std::move(listening)), twin_(take_twin(listening_.get())), serve_(std::move(serve)) {
  acceptor_ = std::thread([this] { accept_loop(listening_.get()); });
  if (twin_) twin_acceptor_ = std::thread([this] { accept_loop(twin_.get()); });
}

tcp_server::~tcp_server() { stop(); }

void tcp_server::stop() {
  if (stopping_.exchange(true)) return;
  // Shutting a listening socket down wakes the thread blocked in accept().
  ::shutdown(listening_.get(), SHUT_RDWR);
  acceptor_.join();
  if (twin_) {
    ::shutdown(twin_.get(), SHUT_RDWR);
    twin_acceptor_.join();
  }
  std::unique_lock lock(mutex_);
  for (const auto& [id, fd] : open_) ::shutdown(fd, SHUT_RDWR);
  all_done_.wait(lock, [this] { return running_ == 0; });
}

void tcp_server::accept_loop(int listening) {
  while (!stopping_) {
    unique_fd fd(::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) {
      if (stopping_) return;
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // Out of descriptors or memory: wait for connections to end instead of spinning.
        ::poll(nullptr, 0, 50);
        continue;
      }
      std::fprintf(stderr, "kobrant-sim: accept: %s\n", std::strerror(errno));
      return;
    }
    // Answers go out as soon as they are written; MSG_MORE still batches a long one.
    const int on = 1;
    ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    start_connection(std::move(fd));
  }
}

void tcp_server::start_connection(unique_fd fd) {
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) return;
    id = next_id_++;
    open_.emplace(id, fd.get());
    ++running_;
  }
  const int raw = fd.get();
  auto finish = [this, id, raw] {
    std::lock_guard lock(mutex_);
    open_.erase(id);
    ::close(raw);
    --running_;
    all_done_.notify_all();
  };
  try {
    // Detached: a finished connection leaves nothing behind to join, so thousands of
    // connections in a row cost nothing; stop() waits on running_ instead.
    std::thread([this, raw, finish] {
      try {
        serve_(raw);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "kobrant-sim: connection: %s\n", e.what());
      }
      finish();
    }).detach();
    static_cast<void>(fd.release());
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "kobrant-sim: cannot start a connection thread: %s\n", e.what());
    static_cast<void>(fd.release());
    finish();
  }
}

}  // namespace kobrant::sim
