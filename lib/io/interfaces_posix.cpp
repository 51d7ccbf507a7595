// LAN discovery's platform part on POSIX: getifaddrs() for the interfaces, sockets bound to an
// interface's address (without a default route an unbound socket cannot even send a broadcast
// or a multicast), and poll() over several of them.
#include "interfaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

namespace kobrant::visa {
namespace {

ipv4 host_order(const sockaddr* address) {
  return ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
}

sockaddr_in socket_address(ipv4 address, std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  a.sin_port = htons(port);
  return a;
}

bool set_option(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

std::string ipv4_text(ipv4 address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF);
  return text;
}

std::vector<lan_interface> lan_interfaces() {
  std::vector<lan_interface> found;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return found;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !i->ifa_netmask) continue;
    const unsigned flags = i->ifa_flags;
    if (!(flags & IFF_UP) || (flags & (IFF_LOOPBACK | IFF_POINTOPOINT))) continue;
    if (!(flags & (IFF_BROADCAST | IFF_MULTICAST))) continue;
    lan_interface entry;
    entry.name = i->ifa_name ? i->ifa_name : "";
    entry.address = host_order(i->ifa_addr);
    entry.netmask = host_order(i->ifa_netmask);
    entry.can_broadcast = (flags & IFF_BROADCAST) != 0;
    if (entry.can_broadcast && i->ifa_broadaddr && i->ifa_broadaddr->sa_family == AF_INET)
      entry.broadcast = host_order(i->ifa_broadaddr);
    // An address added without one ("ip addr add 10.0.0.5/24") reports none, or the address
    // itself, which would reach this host alone: the subnet's own broadcast address is meant.
    if (entry.can_broadcast && (entry.broadcast == entry.address || !entry.on_link(entry.broadcast)))
      entry.broadcast = entry.address | ~entry.netmask;
    // A /32 or /31 has no broadcast address of its own: "broadcasting" there would reach the
    // limited broadcast or one host.
    if (entry.netmask >= 0xFFFFFFFEu) entry.can_broadcast = false;
    entry.can_multicast = (flags & IFF_MULTICAST) != 0;
    if (entry.can_broadcast || entry.can_multicast) found.push_back(std::move(entry));
  }
  ::freeifaddrs(list);
  return found;
}

unique_fd open_udp_on(const lan_interface& on) {
  unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) return fd;
  const sockaddr_in local = socket_address(on.address, 0);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return {};
  if (on.can_broadcast && !set_option(fd.get(), SOL_SOCKET, SO_BROADCAST, 1)) return {};
  if (on.can_multicast) {
    in_addr out{htonl(on.address)};
    if (::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &out, sizeof out) != 0) return {};
    set_option(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, 255);
  }
  return fd;
}

unique_fd open_multicast_catch(ipv4 group, std::uint16_t port, std::span<const lan_interface> on) {
  unique_fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd || !set_option(fd.get(), SOL_SOCKET, SO_REUSEADDR, 1)) return {};
  const sockaddr_in local = socket_address(group, port);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return {};
  bool joined = false;
  for (const lan_interface& i : on) {
    if (!i.can_multicast) continue;
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(i.address);
    // Several addresses of one interface join the same membership: EADDRINUSE is no failure.
    if (::setsockopt(fd.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0 || errno == EADDRINUSE)
      joined = true;
  }
  if (!joined) return {};
  return fd;
}

bool send_datagram(int fd, ipv4 to, std::uint16_t port, std::span<const std::byte> bytes) {
  const sockaddr_in target = socket_address(to, port);
  const ssize_t n = ::sendto(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                             sizeof target);
  return n == static_cast<ssize_t>(bytes.size());
}

std::optional<std::size_t> receive_datagram(int fd, std::span<std::byte> space, datagram_sender& from) {
  sockaddr_in sender{};
  socklen_t length = sizeof sender;
  const ssize_t n = ::recvfrom(fd, space.data(), space.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender), &length);
  if (n < 0) return std::nullopt;
  from = {};
  if (static_cast<std::size_t>(n) > space.size() || sender.sin_family != AF_INET) return 0;
  from.address = ntohl(sender.sin_addr.s_addr);
  from.port = ntohs(sender.sin_port);
  return static_cast<std::size_t>(n);
}

ViStatus wait_readable(std::span<const int> fds, const deadline& until) {
  std::vector<pollfd> polled;
  polled.reserve(fds.size() + 1);
  for (int fd : fds) polled.push_back({fd, POLLIN, 0});
  polled.push_back({until.wake_fd(), POLLIN, 0});
  const int n = ::poll(polled.data(), polled.size(), until.poll_ms());
  if (n < 0) return errno == EINTR ? VI_ERROR_ABORT : errno_to_status(errno);
  if (polled.back().revents) return VI_ERROR_ABORT;
  return n == 0 ? VI_ERROR_TMO : VI_SUCCESS;
}

}  // namespace kobrant::visa
