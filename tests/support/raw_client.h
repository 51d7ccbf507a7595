// A bare TCP client for checking the simulator's own behaviour without kobrant: it connects
// to a TCPIP SOCKET resource name and sends and receives raw bytes within given bounds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kobrant::test {

// The host and port of "TCPIP0::<host>::<port>::SOCKET" (host without IPv6 brackets).
struct socket_address {
  std::string host;
  std::uint16_t port = 0;
};
socket_address parse_socket_resource(const std::string& resource);

// A TCP port on 127.0.0.1 held for one test, so no other process takes it meanwhile. Not
// listening, a connection to it is refused at once; listening, nobody else can bind it.
class held_port {
 public:
  explicit held_port(bool listening);  // throws std::runtime_error
  ~held_port();
  held_port(const held_port&) = delete;
  held_port& operator=(const held_port&) = delete;
  std::uint16_t port() const { return port_; }
  int fd() const { return fd_; }  // to accept on, when listening

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
};

// Whether this machine can bind a socket to ::1 (IPv6 may be disabled in a container).
bool ipv6_loopback_available();

class raw_client {
 public:
  explicit raw_client(const std::string& resource);  // throws std::runtime_error
  ~raw_client();
  raw_client(const raw_client&) = delete;
  raw_client& operator=(const raw_client&) = delete;

  void send(std::string_view bytes);
  void close_write();  // half-close: the simulator sees the end of what we send

  // Reads until count bytes have arrived, the peer closed, or bound passed; returns them.
  std::string receive(std::size_t count,
                      std::chrono::milliseconds bound = std::chrono::seconds(10));
  // Reads until the peer closes or bound passes; at_eof() tells which.
  std::string receive_all(std::chrono::milliseconds bound = std::chrono::seconds(10));
  bool at_eof() const { return eof_; }
  // The end came as a TCP reset rather than an orderly close.
  bool was_reset() const { return reset_; }

  // True when neither data nor the end of the connection arrives within period.
  bool stays_quiet(std::chrono::milliseconds period);

 private:
  int fd_ = -1;
  bool eof_ = false;
  bool reset_ = false;
};

}  // namespace kobrant::test
