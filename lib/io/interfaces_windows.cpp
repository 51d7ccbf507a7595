// LAN discovery's platform part on Windows: not offered yet. No interface is reported, so the
// listing searches no network and shows what else it finds; the rest keeps the contract of
// interfaces.h for a caller that asks anyway (no socket, nothing sent or received).
#include "interfaces.h"

namespace kobrant::visa {

std::vector<lan_interface> lan_interfaces() { return {}; }

unique_fd open_udp_on(const lan_interface&) { return {}; }

unique_fd open_multicast_catch(ipv4, std::uint16_t, std::span<const lan_interface>) { return {}; }

bool send_datagram(io_handle, ipv4, std::uint16_t, std::span<const std::byte>) { return false; }

std::optional<std::size_t> receive_datagram(io_handle, std::span<std::byte>, datagram_sender&) { return std::nullopt; }

ViStatus wait_readable(std::span<const io_handle>, const deadline& until) {
  // Nothing can arrive: the wait is the deadline's (or ends at its wake-up).
  return until.infinite() ? VI_ERROR_ABORT : (pause_ms(until.poll_ms(), until) < 0 ? VI_ERROR_ABORT : VI_ERROR_TMO);
}

}  // namespace kobrant::visa
