// The raw SCPI socket server: a message is the bytes up to and including a newline.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "record.h"
#include "server.h"

namespace kobrant::sim {

// Listens on address:port (0: ephemeral) and serves every connection on its own thread;
// rec must outlive the server. Throws as listen_tcp() does.
std::unique_ptr<server> make_socket_server(const std::string& address, std::uint16_t port,
                                           const record& rec);

}  // namespace kobrant::sim
