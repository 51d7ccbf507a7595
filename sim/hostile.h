// Faults of a protocol server rather than of the instrument behind it, chosen for the whole run
// with --hostile=MODE: broken framing and a handshake that never completes. The instrument's
// own faults (STALL?, DROP?, RESET?, DRIP?, HUGEBLOCK?) are answers to commands instead, and
// every server honours those.
#pragma once

#include <optional>
#include <string_view>

namespace kobrant::sim {

enum class hostile {
  none,
  // An answer starts out right, then where the next protocol header belongs come bytes
  // that are not one (VXI-11: not a record mark and RPC reply; HiSLIP: no "HS" prologue).
  garbage_header,
  // An answer starts out right, then a header announces an absurd length and a few bytes
  // follow (VXI-11: a record mark of 2^31 - 1 bytes; HiSLIP: a payload of 2^63 bytes).
  huge_length,
  // Connections are accepted and read, but the handshake is never answered (VXI-11: the port
  // mapper's GETPORT; HiSLIP: Initialize).
  mute_handshake,
  // VXI-11 only: the port mapper answers, the core channel never answers create_link.
  mute_link,
};

inline std::optional<hostile> parse_hostile(std::string_view name) {
  if (name == "none") return hostile::none;
  if (name == "garbage-header") return hostile::garbage_header;
  if (name == "huge-length") return hostile::huge_length;
  if (name == "mute-handshake") return hostile::mute_handshake;
  if (name == "mute-link") return hostile::mute_link;
  return std::nullopt;
}

}  // namespace kobrant::sim
