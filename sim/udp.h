// UDP plumbing for the simulator: a datagram service on one address that answers each datagram
// to its sender, for the port mapper that discovery broadcasts reach.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "io.h"

namespace kobrant::sim {

using kobrant::visa::unique_fd;

class udp_server {
 public:
  // The reply to one datagram, or nothing to send back.
  using answer = std::function<std::optional<std::vector<std::byte>>(std::span<const std::byte>)>;

  // Binds address:port (a numeric IPv4 or IPv6 address; port 0: an ephemeral one) and, when the
  // address is an interface's with a broadcast address, that broadcast address at the same port
  // too, shared, so that several simulators on one subnet all hear a broadcast. Replies leave
  // from address:port. Throws bad_address (tcp.h) or std::system_error.
  udp_server(const std::string& address, std::uint16_t port, answer serve);
  ~udp_server();
  udp_server(const udp_server&) = delete;
  udp_server& operator=(const udp_server&) = delete;

  void stop();

 private:
  void serve_loop();

  unique_fd unicast_;
  unique_fd broadcast_;
  answer serve_;
  kobrant::visa::wake_signal stopping_;
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

}  // namespace kobrant::sim
