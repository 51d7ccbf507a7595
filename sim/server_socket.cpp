// Raw SCPI over TCP (resource class SOCKET). The wire carries bare bytes: a message ends at a
// newline, there is no END indicator (the record says "-"), and a response is written as is.
// When the client half-closes, the answers to what it sent are finished first; bytes after
// the last newline are recorded as one more message and not answered.
#include "server_socket.h"

#include <algorithm>
#include <array>
#include <vector>

#include "answer.h"
#include "instrument.h"
#include "tcp.h"

namespace kobrant::sim {
namespace {

constexpr std::string_view transport_name = "SOCKET";

// Sends one response; false when the connection is to end (the peer left, or the command
// asked for the connection to drop or be reset).
bool send_response(io_handle fd, response answer) {
  return send_answer_bytes(fd, answer, answer.size(), false) && carry_on_after(fd, answer.after());
}

void serve_connection(io_handle fd, const record& rec) {
  instrument_session session;
  std::vector<std::byte> partial;  // a message still waiting for its newline
  std::array<std::byte, 64 * 1024> buffer;

  const auto handle = [&](std::span<const std::byte> message) {
    rec.append(transport_name, false, message);
    return send_response(fd, session.respond(message));
  };

  for (;;) {
    const long n = receive_some(fd, buffer);
    if (n <= 0) {
      if (n == 0 && !partial.empty()) rec.append(transport_name, false, partial);
      return;
    }
    std::span<const std::byte> rest(buffer.data(), static_cast<std::size_t>(n));
    while (!rest.empty()) {
      const auto newline = std::find(rest.begin(), rest.end(), std::byte{'\n'});
      if (newline == rest.end()) {
        partial.insert(partial.end(), rest.begin(), rest.end());
        break;
      }
      const auto length = static_cast<std::size_t>(newline - rest.begin()) + 1;
      bool keep_going = false;
      if (partial.empty()) {
        keep_going = handle(rest.first(length));  // the common case: no copy
      } else {
        partial.insert(partial.end(), rest.begin(), rest.begin() + length);
        keep_going = handle(partial);
        partial.clear();
      }
      if (!keep_going) return;
      rest = rest.subspan(length);
    }
  }
}

class socket_server final : public server {
 public:
  socket_server(unique_fd listening, const record& rec)
      : host_(resource_host(listening.get())),
        port_(local_port(listening.get())),
        tcp_(std::move(listening), [&rec](io_handle fd) { serve_connection(fd, rec); }) {}

  std::string resource_name() const override {
    return "TCPIP0::" + host_ + "::" + std::to_string(port_) + "::SOCKET";
  }
  void stop() override { tcp_.stop(); }

 private:
  std::string host_;
  std::uint16_t port_;
  tcp_server tcp_;
};

}  // namespace

std::unique_ptr<server> make_socket_server(const std::string& address, std::uint16_t port,
                                           const record& rec) {
  return std::make_unique<socket_server>(listen_tcp(address, port), rec);
}

}  // namespace kobrant::sim
