// The socket calls whose spelling or behaviour differs between POSIX and Windows (Winsock),
// each as one small function, so the TCP code of the library (net.cpp) and the simulator is
// written once. io_posix.cpp and io_windows.cpp implement them. Sockets made here never reach
// a child process, and a peer that hung up never raises a signal.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "io.h"

namespace kobrant::visa::sockets {

// Makes the system's socket layer usable by this process (Winsock needs it once before any
// socket call; nothing on POSIX). Every function below calls it; it is cheap after the first.
void start();

// The error number of the last failed socket call on this thread (errno, WSAGetLastError())
// and the system's words for one.
int last_error();
std::string error_text(int error);

// What an error number means where the callers decide differently.
bool would_block(int error);      // a non-blocking call found nothing to do now
bool interrupted(int error);      // a signal ended the call (never on Windows)
bool connect_underway(int error); // a non-blocking connect goes on in the background
bool address_in_use(int error);
bool address_unavailable(int error);  // not an address of this host, or a family it lacks
bool out_of_resources(int error);     // descriptors or memory, for now
bool aborted_before_accept(int error);

// A new TCP socket of family (AF_INET, AF_INET6), non-blocking or not; invalid_handle on
// failure (last_error() says why).
io_handle open_stream(int family, bool non_blocking);

// Starts connecting a non-blocking socket. 0: connected at once; otherwise the error number
// (connect_underway() when the connect goes on).
int start_connect(io_handle fd, const sockaddr* address, socklen_t length);

// Waits up to timeout_ms (-1: for good) until some of the connecting sockets have finished,
// well or not. outcome[i] is -1 while socket i still connects, 0 once it is connected, or the
// error number it failed with; the socket's error is asked for only when the wait reports a
// failure, so a connect that succeeds costs no further call. Returns how many finished, 0 on
// timeout, -1 on failure.
int wait_connecting(std::span<const io_handle> connecting, int timeout_ms, std::vector<int>& outcome);

// The status of a connect that failed with error: every reason a host or network cannot be
// reached means the resource is not there; only a local shortage or an interrupt says
// something else.
ViStatus connect_failure_status(int error);

// After a failed name lookup with AI_ADDRCONFIG, whether asking again without it may help
// (AI_ADDRCONFIG hides ::1 on a host whose only interface is loopback); and the lookup
// error's words.
bool retry_without_addrconfig(int lookup_error);
std::string lookup_error_text(int lookup_error);

// Sets a boolean socket option (TCP_NODELAY at IPPROTO_TCP, SO_KEEPALIVE at SOL_SOCKET).
bool set_flag(io_handle fd, int level, int option, bool on);

// One send of head then tail (tail may be empty): the count sent, or -1 (last_error()).
// more: further bytes follow at once, so the system may hold back a partial segment.
// dont_wait: never wait, also on a blocking socket (would_block() then).
long send_some(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail,
               bool more = false, bool dont_wait = false);
// One receive: the count, 0 when the peer closed, -1 (last_error()). dont_wait as for send.
long receive_some(io_handle fd, std::span<std::byte> space, bool dont_wait = false);

// Makes a connected socket wait inside its receives, where the system bounds such a wait by a
// receive timeout that a signal cuts short (POSIX: the socket becomes blocking; a receive
// there waits in one call instead of a poll() and a recv()). False where it does not, and the
// socket stays non-blocking (Windows).
bool wait_inside_receive(io_handle fd);
// How far a receive timeout already set may be from the time left before it is set again: a
// wait may end this much after its deadline, or come back this much early and wait again.
inline constexpr int receive_timeout_slack_ms = 1;
// One receive on a socket made by wait_inside_receive() that waits at most about timeout_ms
// (> 0) for bytes; would_block() when none came. timeout_set_ms is the receive timeout last
// set on the socket (-1: none yet), kept by the caller.
long receive_within(io_handle fd, std::span<std::byte> space, int timeout_ms, int& timeout_set_ms);

// Listening side, for the simulator: lets a restarted server bind its fixed port again while
// old connections linger, without letting another program bind the same port beside it.
void reuse_address(io_handle listening);
// A blocking accept; the new socket is blocking too. invalid_handle on failure.
io_handle accept_connection(io_handle listening);
// Ends sending (FIN after the bytes sent so far), or both directions, which also wakes a
// thread blocked on the connection.
void shut_down(io_handle fd, bool both);
// Ends a listening socket's accepting: a thread blocked in accept_connection() on it returns
// invalid_handle. The socket is closed later, by its owner.
void stop_listening(io_handle listening);
// Makes the coming close abortive: the peer gets a reset instead of a FIN.
void reset_on_close(io_handle fd);
// Waits until the peer has closed its side, the connection failed or the deadline passed;
// more bytes from the peer do not end the wait (on Windows, a close behind unread bytes is not
// seen until they are read). VI_ERROR_TMO when the deadline passed.
ViStatus wait_peer_closed(io_handle fd, const deadline& until);

}  // namespace kobrant::visa::sockets
