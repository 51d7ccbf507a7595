// The tests' bare TCP client (see raw_client.h).
#include "raw_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

namespace kobrant::test {

socket_address parse_socket_resource(const std::string& resource) {
  const std::string prefix = "TCPIP0::";
  const std::string suffix = "::SOCKET";
  if (!resource.starts_with(prefix) || !resource.ends_with(suffix)) {
    throw std::runtime_error("not a TCPIP0 SOCKET resource: " + resource);
  }
  const std::string middle =
      resource.substr(prefix.size(), resource.size() - prefix.size() - suffix.size());
  const auto split = middle.rfind("::");
  if (split == std::string::npos) throw std::runtime_error("no port in " + resource);
  socket_address address;
  address.host = middle.substr(0, split);
  if (address.host.size() >= 2 && address.host.front() == '[') {
    address.host = address.host.substr(1, address.host.size() - 2);
  }
  address.port = static_cast<std::uint16_t>(std::stoul(middle.substr(split + 2)));
  return address;
}

held_port::held_port(bool listening) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
      (listening && ::listen(fd_, 4) != 0) ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot hold a loopback port");
  }
  port_ = ntohs(addr.sin_port);
}

held_port::~held_port() { ::close(fd_); }

bool ipv6_loopback_available() {
  const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

raw_client::raw_client(const std::string& resource) {
  const socket_address address = parse_socket_resource(resource);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), std::to_string(address.port).c_str(), &hints,
                    &found) != 0) {
    throw std::runtime_error("bad address in " + resource);
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, ::freeaddrinfo);
  fd_ = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::connect(fd_, found->ai_addr, found->ai_addrlen) != 0) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot connect to " + resource);
  }
}

raw_client::~raw_client() { ::close(fd_); }

void raw_client::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("send failed");
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void raw_client::close_write() { ::shutdown(fd_, SHUT_WR); }

std::string raw_client::receive(std::size_t count, std::chrono::milliseconds bound) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  char buffer[1 << 16];
  while (got.size() < count && !eof_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;
    const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      eof_ = true;  // a reset counts as the end too
      reset_ = n < 0 && errno == ECONNRESET;
      break;
    }
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

std::string raw_client::receive_all(std::chrono::milliseconds bound) {
  return receive(static_cast<std::size_t>(-1), bound);
}

bool raw_client::stays_quiet(std::chrono::milliseconds period) {
  pollfd p{fd_, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(period.count())) == 0;
}

}  // namespace kobrant::test
