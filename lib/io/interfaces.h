// The platform's part of LAN discovery: which IPv4 interfaces reach a local network, UDP sockets
// bound to one of them, datagrams in and out, and one bounded wait over several sockets. The
// protocols (port mapper, mDNS) stay in the library; this file states the contract, one source
// file per platform keeps it.
#pragma once

#include <kobrant/visa.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io.h"

namespace kobrant::visa {

// An IPv4 address in host byte order, so that numeric order is address order.
using ipv4 = std::uint32_t;

// Dotted decimal: "192.168.1.5".
std::string ipv4_text(ipv4 address);

// One IPv4 address of an interface that is up and leads to a local network.
struct lan_interface {
  std::string name;
  ipv4 address = 0;
  ipv4 netmask = 0;
  ipv4 broadcast = 0;           // the directed broadcast address; valid when can_broadcast
  bool can_broadcast = false;
  bool can_multicast = false;
  // Whether peer lies in this address's subnet: only such a sender can have answered a
  // broadcast or a link-local multicast sent here.
  bool on_link(ipv4 peer) const { return (peer & netmask) == (address & netmask); }
};

// Every IPv4 address of the interfaces that are up and have the broadcast or the multicast
// flag, loopback and point-to-point links excluded: the only places discovery may send to.
// An interface with several addresses appears once per address. Empty when there are none or
// the system cannot tell.
std::vector<lan_interface> lan_interfaces();

// A non-blocking UDP socket bound to the interface's address on an ephemeral port. Broadcasts
// are allowed where the interface has the flag; multicasts leave through this interface with
// the link-local TTL of 255. Empty when the system refuses.
unique_fd open_udp_on(const lan_interface& on);

// A socket for the multicast traffic of group:port (mDNS answers from responders that only
// multicast): shared with any other program on the port (SO_REUSEADDR), bound to the group's
// address so that unicast datagrams for that program never land here, and joined on each of
// the interfaces. Empty when the port cannot be shared; joins the system refuses are skipped.
unique_fd open_multicast_catch(ipv4 group, std::uint16_t port, std::span<const lan_interface> on);

// Sends one datagram; false when the system refuses it (the caller carries on without it).
bool send_datagram(int fd, ipv4 to, std::uint16_t port, std::span<const std::byte> bytes);

struct datagram_sender {
  ipv4 address = 0;
  std::uint16_t port = 0;
};

// Takes one waiting datagram into space. nullopt when none is waiting (or the socket failed);
// a datagram larger than space is taken and dropped, reported as size 0 with no sender.
std::optional<std::size_t> receive_datagram(int fd, std::span<std::byte> space, datagram_sender& from);

// Waits until one of fds (negative ones skipped) has something to read. VI_SUCCESS,
// VI_ERROR_TMO at the deadline, VI_ERROR_ABORT on a signal or the deadline's wake-up.
ViStatus wait_readable(std::span<const int> fds, const deadline& until);

}  // namespace kobrant::visa
