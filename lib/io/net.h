// TCP on top of the I/O unit (io.h): connecting with a deadline, sending whole frames, and
// receiving some or exactly so many bytes, none of which waits past its deadline.
#pragma once

#include <kobrant/visa.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io.h"

namespace kobrant::visa {

// Resolves host (name, IPv4 or IPv6 literal) and connects a TCP socket to the first of its
// addresses that answers within the deadline. Each address is tried; the next starts after a
// short stagger while earlier attempts stay in flight, or at once when one fails. A host or
// network that cannot be reached (refused, no route): VI_ERROR_RSRC_NFOUND; no answer in time:
// VI_ERROR_TMO. Failures leave the system's reason for open_failure_detail(). TCP_NODELAY is
// set: instrument messages are small and latency matters.
ViStatus tcp_connect(const std::string& host, std::uint16_t port, const deadline& until, unique_fd& out);

// Sends all of head then tail (tail may be empty) as one stream. written receives the bytes of
// head and tail sent so far, also on failure.
ViStatus send_all(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                  const deadline& until, std::size_t& written);

// send_all for one frame of a framed protocol. A signal ends it with VI_ERROR_ABORT only while
// none of the frame is on the wire (and started is false: nothing of it went out before);
// once the frame has begun, the rest is still sent within the deadline, since the peer would
// read the next frame as its remainder, and VI_ERROR_ABORT comes after the whole frame.
ViStatus send_frame(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail,
                    const deadline& until, std::size_t& written, bool started = false);

// How receives on one connected socket of a transport wait. Once wait_inside() took the socket
// (POSIX), a receive with time left waits inside the receive call, bounded by the socket's
// receive timeout, which is set again only when the time left has moved away from it: a
// query then costs one system call per receive, with no poll() before it. A wait with no end
// (VI_TMO_INFINITE) still polls, beside the deadline's wake-up. Every other call on such a
// socket must not wait (net.h's sends never do).
struct receive_wait {
  bool inside = false;  // the socket waits inside its receives
  int timeout_set_ms = -1;
  // A request just went out and no receive has begun since: its answer cannot be there yet, so
  // a socket that does not wait inside its receives waits for it first rather than reads,
  // finds nothing, and waits. Set by the transport after each request.
  bool answer_due = false;
  // Takes a newly connected socket (a no-op where the system cannot, see sockets.h).
  void wait_inside(io_handle fd);
};

// Receives at least one byte (at most space.size()) into space. A closed connection is
// VI_ERROR_CONN_LOST. how: how the socket's receives wait (none: in wait_ready()).
ViStatus receive_some(io_handle fd, std::span<std::byte> space, const deadline& until, std::size_t& count,
                      receive_wait* how = nullptr);

// Receives exactly space.size() bytes, for fixed-size protocol headers and payloads.
ViStatus receive_exact(io_handle fd, std::span<std::byte> space, const deadline& until);

// Why the last open on the calling thread failed, in the system's words ("connect to
// 10.9.9.9:5025: No route to host"). The library never prints: the status description of the
// failed open carries it to the user. Each thread keeps its own, so concurrent opens never
// see each other's.
void note_open_failure(ViStatus status, std::string detail);
void forget_open_failure() noexcept;
// The detail of the last failed open on this thread if it ended with status; empty otherwise.
std::string open_failure_detail(ViStatus status);

}  // namespace kobrant::visa
