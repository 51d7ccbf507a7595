// Deadlines and descriptor plumbing shared by the network transports: one move-only owner per
// descriptor, one deadline per operation, and send/receive/connect calls that never wait past it.
#pragma once

#include "visa/visa.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kobrant::visa {

// Owns one descriptor; -1 is empty. close() is not retried on EINTR: on Linux the descriptor is
// gone either way, and a retry could close one another thread just opened.
class unique_fd {
 public:
  unique_fd() = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// The moment an operation must be over, on the steady clock. Built from a VISA timeout:
// 0 means "only what is already there", VI_TMO_INFINITE means never.
class deadline {
 public:
  static deadline after_ms(ViUInt32 timeout_ms);
  bool infinite() const { return infinite_; }
  // Milliseconds left for poll(): -1 for infinite, 0 once expired; rounded up so a wait never
  // ends early.
  int poll_ms() const;
  bool expired() const;

 private:
  std::chrono::steady_clock::time_point at_{};
  bool infinite_ = false;
};

// Every wait below ends with VI_ERROR_ABORT when a signal handler runs during it (poll() or a
// transfer call failing with EINTR), whether or not the handler asked for restarts: poll() is
// never restarted, so treating every EINTR alike is the only way to behave the same either
// way. The caller gets what arrived before, and the stream stays where it was.

// Waits until fd is ready for events (POLLIN/POLLOUT). VI_SUCCESS, VI_ERROR_TMO,
// VI_ERROR_ABORT, or an error.
ViStatus wait_ready(int fd, short events, const deadline& until);

// Resolves host (name, IPv4 or IPv6 literal) and connects a TCP socket to the first of its
// addresses that answers within the deadline. Each address is tried; the next starts after a
// short stagger while earlier attempts stay in flight, or at once when one fails. A host or
// network that cannot be reached (refused, no route): VI_ERROR_RSRC_NFOUND; no answer in time:
// VI_ERROR_TMO. Failures leave the system's reason for open_failure_detail(). TCP_NODELAY is
// set: instrument messages are small and latency matters.
ViStatus tcp_connect(const std::string& host, std::uint16_t port, const deadline& until, unique_fd& out);

// Sends all of head then tail (tail may be empty) as one stream. written receives the bytes of
// head and tail sent so far, also on failure.
ViStatus send_all(int fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                  const deadline& until, std::size_t& written);

// send_all for one frame of a framed protocol. A signal ends it with VI_ERROR_ABORT only while
// none of the frame is on the wire (and started is false: nothing of it went out before);
// once the frame has begun, the rest is still sent within the deadline, since the peer would
// read the next frame as its remainder, and VI_ERROR_ABORT comes after the whole frame.
ViStatus send_frame(int fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                    const deadline& until, std::size_t& written, bool started = false);

// Receives at least one byte (at most space.size()) into space. A closed connection is
// VI_ERROR_CONN_LOST.
ViStatus receive_some(int fd, std::span<std::byte> space, const deadline& until, std::size_t& count);

// Receives exactly space.size() bytes, for fixed-size protocol headers and payloads.
ViStatus receive_exact(int fd, std::span<std::byte> space, const deadline& until);

// Maps an errno of a connected socket to a status.
ViStatus errno_to_status(int error);

// Why the last open on the calling thread failed, in the system's words ("connect to
// 10.9.9.9:5025: No route to host"). The library never prints: the status description of the
// failed open carries it to the user. Each thread keeps its own, so concurrent opens never
// see each other's.
void note_open_failure(ViStatus status, std::string detail);
void forget_open_failure() noexcept;
// The detail of the last failed open on this thread if it ended with status; empty otherwise.
std::string open_failure_detail(ViStatus status);

}  // namespace kobrant::visa
