// The plumbing of the scripted peers the transport tests run on 127.0.0.1: a listening socket,
// its port, and exact sends and receives. What each peer says stays with its protocol's tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kobrant::test {

// A TCP socket listening on 127.0.0.1 (port 0: one the system picks); throws
// std::runtime_error when it cannot.
int listen_loopback(std::uint16_t port = 0, int backlog = 8);
std::uint16_t port_of(int fd);

// Receives exactly n bytes; false when the peer closed or failed first.
bool receive_exact(int fd, char* out, std::size_t n);
// Sends every byte unless the connection fails; false then.
bool send_all(int fd, std::string_view bytes);

}  // namespace kobrant::test
