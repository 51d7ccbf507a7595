// TCP plumbing shared by the simulator's network servers: a listening socket on a numeric
// address, sending a whole buffer, receiving an exact count, and the accept loop that serves
// each connection on a thread of its own and can end them all. Descriptors and bounded waits
// come from the I/O unit the VISA library uses too (io.h); nothing of a protocol is shared.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>

#include <sys/socket.h>

#include "io.h"

namespace kobrant::sim {

using kobrant::visa::unique_fd;

// The address given on the command line is not a numeric IPv4 or IPv6 address.
class bad_address : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A numeric IPv4 or IPv6 address (the latter optionally in brackets) and a port, ready for
// bind(). Throws bad_address for an address that is not one.
struct socket_address {
  sockaddr_storage storage{};
  socklen_t length = 0;
};
socket_address numeric_address(const std::string& address, std::uint16_t port);

// Makes every later listen_tcp() on 127.0.0.1 also listen on ::1 at the same port, and the
// tcp_server given that socket accept on both: the simulator's default, so a client reaches it
// through either loopback address. Where ::1 cannot be had (no IPv6), IPv4 alone serves.
void listen_on_both_loopbacks();

// Binds and listens on address:port (port 0: an ephemeral one). address is a numeric IPv4 or
// IPv6 literal, the latter optionally in brackets. Throws bad_address for an address that is
// not one, std::system_error when the system refuses.
unique_fd listen_tcp(const std::string& address, std::uint16_t port);

// The port a bound socket ended up on.
std::uint16_t local_port(int fd);

// The host part of a VISA resource name for a listening socket: its address in canonical
// text, in brackets for IPv6 ("127.0.0.1", "[::1]").
std::string resource_host(int fd);

// Sends every byte, resuming after partial sends; false once the peer is gone. more: further
// bytes follow at once, so the kernel may hold back a partial segment (MSG_MORE).
bool send_all(int fd, std::span<const std::byte> bytes, bool more = false);

// Receives exactly bytes.size() bytes, as long as that takes; false once the peer is gone or
// the server is stopping (it shuts connections down, which ends the wait).
bool receive_exact(int fd, std::span<std::byte> bytes);

// Ends a connection in order: FIN after the bytes sent so far; the descriptor is closed later.
void hang_up(int fd);

// Makes the coming close of fd abortive (SO_LINGER 0): the peer gets a TCP reset instead of a
// FIN, as from an instrument that crashed or a link that broke.
void abort_on_close(int fd);

// Waits gap between two bytes of a paced answer, less when the connection is shut down (the
// server is stopping) or has failed: false then.
bool wait_gap(int fd, std::chrono::milliseconds gap);

// Waits ms milliseconds (VI_TMO_INFINITE: for good) as an instrument with nothing to say does;
// false when the client closed its side, or the connection failed or was shut down, meanwhile.
bool wait_while_connected(int fd, std::uint32_t ms);

// Reads and throws away whatever the peer sends until it closes the connection or the server
// stops: a server that takes a connection and never answers on it.
void read_until_closed(int fd);

// Accepts connections on a listening socket and runs handler(fd) for each on its own thread;
// the descriptor is closed when the handler returns. stop() (or the destructor) ends the
// accepting, shuts every open connection down so that blocked reads and writes return, and
// waits for all handlers to finish.
class tcp_server {
 public:
  using handler = std::function<void(int fd)>;
  tcp_server(unique_fd listening, handler serve);
  ~tcp_server();
  tcp_server(const tcp_server&) = delete;
  tcp_server& operator=(const tcp_server&) = delete;

  int listening_fd() const { return listening_.get(); }
  void stop();

 private:
  void accept_loop(int listening);
  void start_connection(unique_fd fd);

  unique_fd listening_;
  unique_fd twin_;  // the same port on ::1 (see listen_on_both_loopbacks), or none
  handler serve_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::thread twin_acceptor_;

  // The open connections, so stop() can shut them down. A handler thread removes its entry
  // and closes its descriptor under the lock, so stop() never touches a reused descriptor.
  std::mutex mutex_;
  std::condition_variable all_done_;
  std::map<std::uint64_t, int> open_;
  std::uint64_t next_id_ = 0;
  std::size_t running_ = 0;
};

}  // namespace kobrant::sim
