// TCP plumbing for the simulator's servers (see tcp.h).
#include "tcp.h"
#include "net.h"
#include "sockets.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

namespace kobrant::sim {
namespace {

namespace sockets = visa::sockets;

// Socket errors in the system's own numbering (errno, or Winsock's on Windows) and words.
class socket_category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "socket"; }
  std::string message(int error) const override { return sockets::error_text(error); }
};

[[noreturn]] void throw_socket_error(const std::string& what) {
  static const socket_category category;
  throw std::system_error(sockets::last_error(), category, what);
}

std::atomic<bool> both_loopbacks{false};

// The ::1 twin of each listening socket on 127.0.0.1, by the IPv4 socket's descriptor, from
// listen_tcp() until the tcp_server made from that socket takes it.
std::mutex twins_mutex;
std::map<io_handle, unique_fd> twins;

unique_fd take_twin(io_handle fd) {
  std::lock_guard lock(twins_mutex);
  const auto found = twins.find(fd);
  if (found == twins.end()) return {};
  unique_fd twin = std::move(found->second);
  twins.erase(found);
  return twin;
}

unique_fd listen_one(const std::string& address, std::uint16_t port) {
  std::string host = address;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  sockets::start();
  if (host.empty() || ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    throw bad_address("not a numeric IPv4 or IPv6 address: " + address);
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);

  unique_fd fd(sockets::open_stream(found->ai_family, false));
  if (!fd) throw_socket_error("socket");
  // A restarted simulator must get its fixed port back while old connections linger.
  sockets::reuse_address(fd.get());
  if (::bind(fd.get(), found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) != 0) {
    throw_socket_error("cannot listen on " + address + " port " + service);
  }
  if (::listen(fd.get(), SOMAXCONN) != 0) throw_socket_error("listen");
  return fd;
}

}  // namespace

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
      if (sockets::address_in_use(error) && port == 0 && attempt < 20) continue;
      if (!sockets::address_unavailable(error)) {
        std::fprintf(stderr, "kobrant-sim: IPv4 only on port %u: %s\n", static_cast<unsigned>(bound), e.what());
      }
      return v4;
    }
  }
}

std::uint16_t local_port(io_handle fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_socket_error("getsockname");
  if (addr.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
  return ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
}

std::string resource_host(io_handle fd) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) throw_socket_error("getsockname");
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

bool send_all(io_handle fd, std::span<const std::byte> bytes, bool more) {
  while (!bytes.empty()) {
    const long n = sockets::send_some(fd, bytes, {}, more);
    if (n < 0 && sockets::interrupted(sockets::last_error())) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

void hang_up(io_handle fd) { sockets::shut_down(fd, false); }

void shut_down(io_handle fd) { sockets::shut_down(fd, true); }

void abort_on_close(io_handle fd) { sockets::reset_on_close(fd); }

bool receive_exact(io_handle fd, std::span<std::byte> bytes) {
  return visa::receive_exact(fd, bytes, visa::deadline::after_ms(VI_TMO_INFINITE)) == VI_SUCCESS;
}

bool wait_gap(io_handle fd, std::chrono::milliseconds gap) {
  // No events asked for: only a hang-up or an error ends the wait early, never the client
  // sending more. Every simulator thread has its signals blocked, so no EINTR cuts it short.
  return visa::wait_ready(fd, 0, visa::deadline::after_ms(static_cast<ViUInt32>(gap.count()))) == VI_ERROR_TMO;
}

bool wait_while_connected(io_handle fd, std::uint32_t ms) {
  // The client closing its side ends the wait, more requests from it do not.
  return sockets::wait_peer_closed(fd, visa::deadline::after_ms(ms)) == VI_ERROR_TMO;
}

long receive_some(io_handle fd, std::span<std::byte> space) {
  for (;;) {
    const long n = sockets::receive_some(fd, space);
    if (n >= 0 || !sockets::interrupted(sockets::last_error())) return n;
  }
}

void read_until_closed(io_handle fd) {
  std::byte sink[4096];
  while (receive_some(fd, sink) > 0) {
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
  sockets::stop_listening(listening_.get());
  acceptor_.join();
  if (twin_) {
    sockets::stop_listening(twin_.get());
    twin_acceptor_.join();
  }
  std::unique_lock lock(mutex_);
  for (const auto& [id, fd] : open_) shut_down(fd);
  all_done_.wait(lock, [this] { return running_ == 0; });
}

void tcp_server::accept_loop(io_handle listening) {
  while (!stopping_) {
    unique_fd fd(sockets::accept_connection(listening));
    if (!fd) {
      if (stopping_) return;
      const int error = sockets::last_error();
      if (sockets::aborted_before_accept(error)) continue;
      if (sockets::out_of_resources(error)) {
        // Out of descriptors or memory: wait for connections to end instead of spinning.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      std::fprintf(stderr, "kobrant-sim: accept: %s\n", sockets::error_text(error).c_str());
      return;
    }
    // Answers go out as soon as they are written; MSG_MORE still batches a long one.
    sockets::set_flag(fd.get(), IPPROTO_TCP, TCP_NODELAY, true);
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
  const io_handle raw = fd.get();
  auto finish = [this, id, raw] {
    std::lock_guard lock(mutex_);
    open_.erase(id);
    unique_fd closing(raw);
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
