// The HiSLIP server: a session is a synchronous and an asynchronous TCP connection to one
// port, paired by the session id the first one was given.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hostile.h"
#include "record.h"
#include "server.h"

namespace kobrant::sim {

// The largest message (header included) the server accepts unless told otherwise; it also
// caps the Data messages it sends.
inline constexpr std::uint64_t hislip_default_max_message_size = std::uint64_t{1} << 20;

// Listens on address:port (0: ephemeral) and serves every connection on its own thread; rec
// must outlive the server. max_message_size (header included, more than 16) is the largest
// message announced to clients and the largest the server sends. Throws as listen_tcp() does.
//
// Record: each Data message is a line "HISLIP - <payload>", each DataEND "HISLIP END
// <payload>"; every other message a client sends is a line "HISLIP:<type name> - <whole
// message, header included>", so a test sees the handshake, the size exchange and the clear.
//
// mode: garbage_header and huge_length break each answer after its first half (hostile.h);
// mute_handshake records Initialize and never answers it.
std::unique_ptr<server> make_hislip_server(const std::string& address, std::uint16_t port,
                                           const record& rec, std::uint64_t max_message_size,
                                           hostile mode = hostile::none);

}  // namespace kobrant::sim
