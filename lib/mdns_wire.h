// Multicast DNS for LAN discovery, without I/O: the one-shot browse query for the instrument
// service types, and a strict reader of responses that follows each PTR answer to its SRV
// record (port and host) and that host's A records. Every length, count and compression
// pointer a peer sends is checked; nothing is allocated from one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kobrant::visa::mdns {

inline constexpr std::uint16_t port = 5353;
inline constexpr std::uint32_t group = 0xE00000FB;  // 224.0.0.251
// The largest message a responder may send (RFC 6762 §17); anything larger is not read.
inline constexpr std::size_t max_message = 9000;

enum class service { vxi11, hislip, scpi_raw, lxi };

// A query with one PTR question per service type, each asking for a unicast answer (QU), so
// that responders answer the sender's own port: no port 5353 is needed to hear them.
std::vector<std::byte> browse_query(std::uint16_t id);

struct found_service {
  service type = service::vxi11;
  std::uint16_t port = 0;               // from the SRV record, never 0
  std::vector<std::uint32_t> addresses;  // the SRV target's A records (host order), maybe none
};

struct response {
  std::uint16_t id = 0;
  std::vector<found_service> services;
};

// Reads a response. nullopt for anything that is no well-formed response (a query, an error
// code, a truncated or overlong record, a name that loops or runs past the message or 255
// bytes, counts the message cannot hold): such a message is ignored whole. Instances whose
// SRV record is missing are left out.
std::optional<response> read_response(std::span<const std::byte> message);

}  // namespace kobrant::visa::mdns
