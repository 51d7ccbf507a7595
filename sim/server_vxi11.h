// The VXI-11 server: a port mapper that names the core channel's port, and the core channel
// where links to the simulated instrument are made, written to and read from.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "hostile.h"
#include "record.h"
#include "server.h"

namespace kobrant::sim {

// The largest device_write data the server accepts (its maxRecvSize) unless told otherwise.
inline constexpr std::uint32_t vxi11_default_max_recv_size = std::uint32_t{1} << 20;
// The bounds of what may be announced: small values force clients to cut their writes; large
// ones are held in memory for one call at a time.
inline constexpr std::uint32_t vxi11_max_max_recv_size = std::uint32_t{256} << 20;

// Listens on address:core_port (0: ephemeral) for the core channel and on address:portmap_port
// for the port mapper (clients always ask port 111; another port is for runs beside a system
// port mapper), and serves every connection on its own thread; rec must outlive the server.
// The port mapper also answers GETPORT over UDP, where discovery broadcasts it
// (udp_server): on portmap_udp_port, or when that is nullopt on portmap_port if that port can
// be had (silently without it otherwise); 0 serves no UDP. Throws as listen_tcp() does.
//
// Record: each device_write is a line "VXI11 END <data>" when it carried the END flag,
// "VXI11 - <data>" otherwise.
//
// mode: garbage_header and huge_length break each answer's device_read replies after its first
// half (hostile.h); mute_handshake leaves GETPORT unanswered, mute_link create_link.
std::unique_ptr<server> make_vxi11_server(const std::string& address, std::uint16_t core_port,
                                          std::uint16_t portmap_port, std::optional<std::uint16_t> portmap_udp_port,
                                          std::uint32_t max_recv_size, const record& rec,
                                          hostile mode = hostile::none);

}  // namespace kobrant::sim
