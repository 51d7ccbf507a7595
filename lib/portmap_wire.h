// The port mapper's GETPORT over UDP, as LAN discovery uses it: one datagram asking for the
// VXI-11 core channel (TCP), broadcast to a subnet, and the check of each answer. ONC RPC over
// UDP is the TCP form without record marking, so the encoding and the reply head come from
// vxi11_wire.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "vxi11_wire.h"

namespace kobrant::visa::portmap {

// The GETPORT call for program 395183 (the VXI-11 core channel), version 1, TCP.
inline constexpr std::size_t getport_size = 56;
std::array<std::byte, getport_size> getport_call(std::uint32_t xid);

enum class answer {
  not_ours,    // another call's reply, a refusal, or no well-formed reply at all
  not_listed,  // a port mapper, but no VXI-11 server registered with it (port 0)
  listed,      // the core channel listens on port
};

struct getport_answer {
  answer kind = answer::not_ours;
  std::uint16_t port = 0;
};

// Checks a datagram against the call made with xid: an accepted, successful reply to that
// call whose port is 1 to 65535 is listed; port 0 is not listed; anything else is not ours.
getport_answer read_getport_reply(std::span<const std::byte> datagram, std::uint32_t xid);

}  // namespace kobrant::visa::portmap
