// UDP plumbing for the simulator (see udp.h).
#include "udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "interfaces.h"
#include "tcp.h"

namespace kobrant::sim {
namespace {

unique_fd bind_datagram(const sockaddr* address, socklen_t length, const std::string& text, std::uint16_t port) {
  unique_fd fd(::socket(address->sa_family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) throw std::system_error(errno, std::generic_category(), "socket");
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd.get(), address, length) != 0)
    throw std::system_error(errno, std::generic_category(),
                            "cannot bind UDP " + text + " port " + std::to_string(port));
  return fd;
}

}  // namespace

udp_server::udp_server(const std::string& address, std::uint16_t port, answer serve) : serve_(std::move(serve)) {
  const socket_address local = numeric_address(address, port);
  unicast_ = bind_datagram(reinterpret_cast<const sockaddr*>(&local.storage), local.length, address, port);
  const std::uint16_t bound = local_port(unicast_.get());

  if (local.storage.ss_family == AF_INET) {
    const auto ip = ntohl(reinterpret_cast<const sockaddr_in*>(&local.storage)->sin_addr.s_addr);
    for (const auto& i : kobrant::visa::lan_interfaces()) {
      if (i.address != ip || !i.can_broadcast) continue;
      sockaddr_in b{};
      b.sin_family = AF_INET;
      b.sin_addr.s_addr = htonl(i.broadcast);
      b.sin_port = htons(bound);
      broadcast_ = bind_datagram(reinterpret_cast<const sockaddr*>(&b), sizeof b, kobrant::visa::ipv4_text(i.broadcast),
                                 bound);
      break;
    }
  }
  thread_ = std::thread([this] { serve_loop(); });
}

udp_server::~udp_server() { stop(); }

void udp_server::stop() {
  stopped_ = true;
  stopping_.fire();
  if (thread_.joinable()) thread_.join();
}

void udp_server::serve_loop() {
  std::array<std::byte, 65536> space;
  for (;;) {
    pollfd p[3] = {{unicast_.get(), POLLIN, 0}, {broadcast_.get(), POLLIN, 0}, {stopping_.fd(), POLLIN, 0}};
    // Without an event descriptor to wake it, the loop looks at the flag ten times a second.
    if (::poll(p, 3, stopping_.fd() >= 0 ? -1 : 100) < 0 && errno != EINTR) return;
    if (p[2].revents || stopped_) return;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) continue;
      sockaddr_storage sender{};
      socklen_t length = sizeof sender;
      const ssize_t n = ::recvfrom(p[i].fd, space.data(), space.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
      if (n < 0) continue;
      if (const auto reply = serve_(std::span(space).first(static_cast<std::size_t>(n))))
        ::sendto(unicast_.get(), reply->data(), reply->size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sender),
                 length);
    }
  }
}

}  // namespace kobrant::sim
