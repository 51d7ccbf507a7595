// LAN discovery for the resource search: VXI-11 port-mapper broadcasts and mDNS one-shot
// queries on every interface that leads to a local network, all in one shared window, the
// answers checked, deduplicated and sorted. Nothing is opened or asked on the instruments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "interfaces.h"

namespace kobrant::visa {

enum class lan_protocol : std::uint8_t { socket, hislip, vxi11 };

// One service an instrument offers. port is 0 for VXI-11, whose resource name has none.
struct lan_service {
  ipv4 address = 0;
  lan_protocol protocol = lan_protocol::socket;
  std::uint16_t port = 0;
  auto operator<=>(const lan_service&) const = default;
};

inline constexpr unsigned discovery_default_ms = 1000;
// Also about how long common stateful firewalls let the answers to a broadcast back in.
inline constexpr unsigned discovery_max_ms = 3000;

// The window from the setting of KOBRANT_DISCOVERY_MS (nullptr when unset): 0 turns discovery
// off, a larger number is the window in milliseconds, at most discovery_max_ms; anything but
// decimal digits leaves the default.
unsigned discovery_window_ms(const char* setting);

// Discovers for window_ms on every interface at once and returns what answered, each service
// once, ordered by numeric address. Returns at once when no interface can take the queries.
std::vector<lan_service> discover_lan(unsigned window_ms);

// Adds the services one datagram tells of, after the checks every answer must pass; the part
// of discovery that sees peer bytes, apart from its sockets.
class lan_answers {
 public:
  // A reply to the port-mapper call xid, from sender, received on an interface.
  void take_portmap(std::span<const std::byte> datagram, std::uint32_t xid, const datagram_sender& sender,
                    const lan_interface& on);
  // An mDNS response from sender, received on an interface; id is the query's, or nullopt for
  // multicast answers caught on the mDNS port (they carry id 0).
  void take_mdns(std::span<const std::byte> datagram, std::optional<std::uint16_t> id,
                 const datagram_sender& sender, const lan_interface& on);
  // Deduplicated, in order.
  std::vector<lan_service> take_all();

 private:
  void add(const lan_service& s);
  std::vector<lan_service> found_;
};

}  // namespace kobrant::visa
