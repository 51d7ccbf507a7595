// The I/O unit on Windows: sockets closed once, every wait a select() that also watches the
// deadline's wake-up and the process's interrupt wake-up (each the reading end of a loopback
// socket pair; serial waits watch their event objects instead), so no wait outlives its
// deadline, a session that is closing or a Ctrl-C; and the socket calls of sockets.h over
// Winsock.
#include "io.h"
#include "sockets.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>

namespace kobrant::visa {

namespace {

// Sockets made here are not inherited by child processes (as SOCK_CLOEXEC on POSIX).
io_handle new_socket(int family) {
  sockets::start();
  SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Systems older than Windows 7 SP1 do not know the flag; the handle flag does the same.
  if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
    s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  }
  return s;
}

bool set_non_blocking(io_handle fd, bool on) {
  u_long mode = on ? 1 : 0;
  return ::ioctlsocket(fd, FIONBIO, &mode) == 0;
}

// A connected pair of loopback sockets: what a select() can watch for a wake-up.
bool socket_pair(unique_fd& reader, unique_fd& writer) {
  unique_fd listener(new_socket(AF_INET));
  if (!listener) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener.get(), 1) != 0 ||
      ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  writer.reset(new_socket(AF_INET));
  if (!writer || ::connect(writer.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return false;
  reader.reset(::accept(listener.get(), nullptr, nullptr));
  if (!reader) return false;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(reader.get()), HANDLE_FLAG_INHERIT, 0);
  return set_non_blocking(reader.get(), true);
}

// The process's interrupt wake-up (see io.h): a socket pair whose reading end select() watches
// and a manual-reset event for other waits, each given and taken back together.
struct interrupt_wake_parts {
  unique_fd watch;
  unique_fd poke;
  HANDLE event = nullptr;
  std::atomic<bool> given{false};
};

// Made once and never freed: a console handler may give it until the process ends.
std::atomic<interrupt_wake_parts*> interrupt_wake{nullptr};

io_handle interrupt_fd() {
  const interrupt_wake_parts* parts = interrupt_wake.load(std::memory_order_acquire);
  return parts ? parts->watch.get() : invalid_handle;
}

// Selects on fd (skipped when invalid) for events and on the deadline's and the interrupt's
// wake-ups for at most timeout_ms (-1: for good). Returns select's result; woken tells whether
// a wake-up fired. Waiting for events 0 (errors only) cannot see a hang-up here: select() has
// no such set.
int select_with_wake(io_handle fd, short events, const deadline& until, int timeout_ms, bool& woken) {
  woken = false;
  const io_handle wake = until.wake_fd();
  const io_handle interrupt = interrupt_fd();
  if (fd == invalid_handle && wake == invalid_handle && interrupt == invalid_handle) {
    // Winsock refuses a select() without sockets: a plain sleep is the same wait.
    ::Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  if (fd != invalid_handle) {
    if (events & POLLIN) FD_SET(fd, &readable);
    if (events & POLLOUT) FD_SET(fd, &writable);
    FD_SET(fd, &failed);
  }
  if (wake != invalid_handle) FD_SET(wake, &readable);
  if (interrupt != invalid_handle) FD_SET(interrupt, &readable);
  timeval limit{};
  if (timeout_ms >= 0) {
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_usec = (timeout_ms % 1000) * 1000;
  }
  const int n = ::select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  woken = n > 0 && ((wake != invalid_handle && FD_ISSET(wake, &readable)) ||
                     (interrupt != invalid_handle && FD_ISSET(interrupt, &readable)));
  return n;
}

}  // namespace

bool prepare_interrupt_wake() {
  static std::mutex making;
  std::lock_guard lock(making);
  if (interrupt_wake.load()) return true;
  auto parts = std::make_unique<interrupt_wake_parts>();
  if (!socket_pair(parts->watch, parts->poke)) return false;
  parts->event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!parts->event) return false;
  interrupt_wake.store(parts.release(), std::memory_order_release);
  return true;
}

void interrupt_waits() noexcept {
  interrupt_wake_parts* parts = interrupt_wake.load(std::memory_order_acquire);
  if (!parts) return;
  ::SetEvent(parts->event);
  if (!parts->given.exchange(true)) {
    const char one = 1;
    ::send(parts->poke.get(), &one, 1, 0);
  }
}

void calm_interrupt_waits() noexcept {
  interrupt_wake_parts* parts = interrupt_wake.load(std::memory_order_acquire);
  if (!parts || !parts->given.exchange(false)) return;
  ::ResetEvent(parts->event);
  // The one byte given is taken back; it may still be on its way through loopback.
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(parts->watch.get(), &readable);
  timeval limit{1, 0};
  if (::select(0, &readable, nullptr, nullptr, &limit) > 0) {
    char byte = 0;
    ::recv(parts->watch.get(), &byte, 1, 0);
  }
}

int wake_events(const deadline& until, void* events[2]) noexcept {
  int count = 0;
  if (until.wake() && until.wake()->event()) events[count++] = until.wake()->event();
  if (const interrupt_wake_parts* parts = interrupt_wake.load(std::memory_order_acquire)) events[count++] = parts->event;
  return count;
}

void unique_fd::reset(io_handle fd) noexcept {
  if (fd_ != invalid_handle) ::closesocket(fd_);
  fd_ = fd;
}

wake_signal::wake_signal() {
  if (!socket_pair(watch_, poke_)) {
    watch_.reset();
    poke_.reset();
    return;
  }
  event_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

wake_signal::~wake_signal() {
  if (event_) ::CloseHandle(event_);
}

bool wake_signal::usable() const noexcept { return watch_ && event_ != nullptr; }

io_handle wake_signal::fd() const noexcept { return watch_.get(); }

bool wake_signal::blocked_in(io_handle) const noexcept { return true; }

void wake_signal::fire() noexcept {
  // The byte is never read, so the watched end stays readable for good; the event is
  // manual-reset, so it stays set.
  if (poke_) {
    const char one = 1;
    ::send(poke_.get(), &one, 1, 0);
  }
  if (event_) ::SetEvent(event_);
}

long process_id() noexcept { return static_cast<long>(::GetCurrentProcessId()); }

ViStatus errno_to_status(int error) {
  switch (error) {
    case WSAECONNRESET: case WSAECONNABORTED: case WSAENOTCONN: case WSAESHUTDOWN: case WSAENETRESET:
    case WSAEHOSTUNREACH: case WSAENETUNREACH: case WSAENETDOWN: case WSAEDISCON:
      return VI_ERROR_CONN_LOST;
    case WSAETIMEDOUT:
      return VI_ERROR_TMO;
    case WSAENOBUFS: case WSA_NOT_ENOUGH_MEMORY:
      return VI_ERROR_ALLOC;
    default:
      return VI_ERROR_IO;
  }
}

ViStatus pause_ms(int ms, const deadline& until) {
  bool woken = false;
  select_with_wake(invalid_handle, 0, until, ms, woken);
  return woken ? VI_ERROR_ABORT : VI_SUCCESS;
}

bool deadline::woken() const {
  bool woken = false;
  select_with_wake(invalid_handle, 0, *this, 0, woken);
  return woken;
}

ViStatus wait_ready(io_handle fd, short events, const deadline& until) {
  bool woken = false;
  const int n = select_with_wake(fd, events, until, until.poll_ms(), woken);
  if (woken) return VI_ERROR_ABORT;
  // Readiness includes errors: the following call reports them precisely.
  if (n > 0) return VI_SUCCESS;
  if (n == 0) return VI_ERROR_TMO;
  return errno_to_status(::WSAGetLastError());
}

ViStatus drain_until_quiet(io_handle fd, const deadline& until) {
  char scratch[16384];
  for (;;) {
    const int n = ::recv(fd, scratch, sizeof scratch, 0);
    if (n > 0) {
      if (until.expired()) return VI_ERROR_TMO;  // still arriving: the line never went quiet
      if (until.woken()) return VI_ERROR_ABORT;  // the session is closing
      continue;
    }
    if (n == 0) return VI_ERROR_CONN_LOST;
    const int error = ::WSAGetLastError();
    if (error != WSAEWOULDBLOCK) return errno_to_status(error);
    // Nothing there now: wait the quiet interval, never past the deadline, for more.
    const int quiet = until.infinite() ? clear_quiet_ms : std::min(clear_quiet_ms, until.poll_ms());
    bool woken = false;
    const int ready = select_with_wake(fd, POLLIN, until, quiet, woken);
    if (woken) return VI_ERROR_ABORT;
    if (ready == 0) return VI_SUCCESS;
    if (ready < 0) return errno_to_status(::WSAGetLastError());
  }
}

}  // namespace kobrant::visa

namespace kobrant::visa::sockets {

namespace {

// Listening sockets given to stop_listening(): an accept() on Windows does not return when its
// socket is shut down, so accept_connection() waits in short slices and looks here between.
std::mutex stopped_mutex;
std::set<io_handle> stopped_listeners;

bool is_stopped(io_handle listening) {
  std::lock_guard lock(stopped_mutex);
  return stopped_listeners.count(listening) != 0;
}

}  // namespace

void start() {
  // Winsock counts its users; the one start here is never undone, as the process uses
  // sockets until it ends.
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  static_cast<void>(started);
}

int last_error() { return ::WSAGetLastError(); }

std::string error_text(int error) {
  char text[256] = {};
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                   text, sizeof text, nullptr);
  std::string words(text, n);
  // The system's messages end in ".\r\n"; a detail is part of a longer line.
  while (!words.empty() && (words.back() == '\n' || words.back() == '\r' || words.back() == ' ' ||
                            words.back() == '.')) {
    words.pop_back();
  }
  return words.empty() ? "error " + std::to_string(error) : words;
}

bool would_block(int error) { return error == WSAEWOULDBLOCK; }

bool interrupted(int error) { return error == WSAEINTR; }

bool connect_underway(int error) { return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS; }

// WSAEACCES: another socket holds the port exclusively (SO_EXCLUSIVEADDRUSE).
bool address_in_use(int error) { return error == WSAEADDRINUSE || error == WSAEACCES; }

bool address_unavailable(int error) { return error == WSAEADDRNOTAVAIL || error == WSAEAFNOSUPPORT; }

bool out_of_resources(int error) { return error == WSAEMFILE || error == WSAENOBUFS; }

// Windows reports a connection reset while it waited in the backlog as a failed accept.
bool aborted_before_accept(int error) { return error == WSAECONNRESET || error == WSAEINTR; }

io_handle open_stream(int family, bool non_blocking) {
  unique_fd fd(new_socket(family));
  if (fd && non_blocking && !set_non_blocking(fd.get(), true)) return invalid_handle;
  return fd.release();
}

int start_connect(io_handle fd, const sockaddr* address, socklen_t length) {
  return ::connect(fd, address, length) == 0 ? 0 : ::WSAGetLastError();
}

namespace {
int connect_error(io_handle fd) {
  int error = 0;
  int len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &len) != 0) error = ::WSAGetLastError();
  return error;
}
}  // namespace

int wait_connecting(std::span<const io_handle> connecting, int timeout_ms, std::vector<int>& outcome) {
  // A connect that fails shows in the error set, one that succeeds in the writable set; an
  // interrupt ends the wait as a signal's EINTR does on POSIX.
  fd_set readable, writable, failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  const io_handle interrupt = interrupt_fd();
  if (interrupt != invalid_handle) FD_SET(interrupt, &readable);
  const std::size_t count = std::min<std::size_t>(connecting.size(), FD_SETSIZE - 1);
  for (std::size_t i = 0; i < count; ++i) {
    FD_SET(connecting[i], &writable);
    FD_SET(connecting[i], &failed);
  }
  timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  const int n = ::select(0, &readable, &writable, &failed, timeout_ms < 0 ? nullptr : &limit);
  if (n > 0 && interrupt != invalid_handle && FD_ISSET(interrupt, &readable)) {
    ::WSASetLastError(WSAEINTR);
    return -1;
  }
  outcome.assign(connecting.size(), -1);
  for (std::size_t i = 0; n > 0 && i < count; ++i) {
    if (FD_ISSET(connecting[i], &failed))
      outcome[i] = connect_error(connecting[i]);
    else if (FD_ISSET(connecting[i], &writable))
      outcome[i] = 0;
  }
  return n;
}

ViStatus connect_failure_status(int error) {
  switch (error) {
    case WSAEINTR: return VI_ERROR_ABORT;
    case WSAENOBUFS: case WSAEMFILE: case WSA_NOT_ENOUGH_MEMORY: return VI_ERROR_ALLOC;
    case WSAETIMEDOUT: return VI_ERROR_TMO;
    default: return VI_ERROR_RSRC_NFOUND;
  }
}

bool retry_without_addrconfig(int lookup_error) {
  return lookup_error == WSAHOST_NOT_FOUND || lookup_error == WSANO_DATA || lookup_error == WSANO_RECOVERY;
}

std::string lookup_error_text(int lookup_error) { return error_text(lookup_error); }

bool set_flag(io_handle fd, int level, int option, bool on) {
  const BOOL value = on ? TRUE : FALSE;
  return ::setsockopt(fd, level, option, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

// Sockets here are always non-blocking: dont_wait changes nothing.
long send_some(io_handle fd, std::span<const std::byte> head, std::span<const std::byte> tail, bool, bool) {
  // WSABUF lengths are 32 bits: a larger piece goes in several sends.
  constexpr std::size_t most = std::size_t{1} << 30;
  WSABUF buffers[2];
  DWORD count = 0;
  for (const auto piece : {head, tail}) {
    if (piece.empty()) continue;
    buffers[count].buf = reinterpret_cast<char*>(const_cast<std::byte*>(piece.data()));
    buffers[count].len = static_cast<ULONG>(std::min(piece.size(), most));
    ++count;
    if (piece.size() > most) break;
  }
  DWORD sent = 0;
  if (::WSASend(fd, buffers, count, &sent, 0, nullptr, nullptr) != 0) return -1;
  return static_cast<long>(sent);
}

long receive_some(io_handle fd, std::span<std::byte> space, bool) {
  const int length = static_cast<int>(std::min<std::size_t>(space.size(), 1 << 30));
  return ::recv(fd, reinterpret_cast<char*>(space.data()), length, 0);
}

// Receives keep waiting in select() here, beside the wake-ups a socket cannot be told of.
bool wait_inside_receive(io_handle) { return false; }

long receive_within(io_handle fd, std::span<std::byte> space, int, int&) { return receive_some(fd, space, true); }

// SO_EXCLUSIVEADDRUSE: Windows lets a restarted server bind past lingering connections
// anyway; what it must be kept from is another program binding the same port beside it.
void reuse_address(io_handle listening) { set_flag(listening, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, true); }

io_handle accept_connection(io_handle listening) {
  for (;;) {
    if (is_stopped(listening)) {
      ::WSASetLastError(WSAESHUTDOWN);
      return invalid_handle;
    }
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(listening, &readable);
    timeval slice{0, 100'000};
    const int n = ::select(0, &readable, nullptr, nullptr, &slice);
    if (n < 0) return invalid_handle;
    if (n == 0) continue;
    const SOCKET s = ::accept(listening, nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
      // The listening socket is blocking; make sure the new one is too, whatever it inherited.
      set_non_blocking(s, false);
    }
    return s;
  }
}

void shut_down(io_handle fd, bool both) { ::shutdown(fd, both ? SD_BOTH : SD_SEND); }

void stop_listening(io_handle listening) {
  std::lock_guard lock(stopped_mutex);
  stopped_listeners.insert(listening);
}

void reset_on_close(io_handle fd) {
  linger abort{};
  abort.l_onoff = 1;
  abort.l_linger = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

ViStatus wait_peer_closed(io_handle fd, const deadline& until) {
  // select() cannot tell "closed" from "more bytes": peek when readable, and while bytes wait
  // unread look again every slice. A close behind unread bytes is seen only once they are read.
  constexpr int slice_ms = 50;
  for (;;) {
    const int left = until.poll_ms();
    if (left == 0) return VI_ERROR_TMO;
    const int wait = left < 0 ? slice_ms : std::min(left, slice_ms);
    bool woken = false;
    const int n = select_with_wake(fd, POLLIN, until, wait, woken);
    if (woken) return VI_ERROR_ABORT;
    if (n < 0) return errno_to_status(::WSAGetLastError());
    if (n == 0) continue;
    char byte = 0;
    const int peeked = ::recv(fd, &byte, 1, MSG_PEEK);
    if (peeked <= 0) return VI_SUCCESS;
    ::Sleep(static_cast<DWORD>(wait));
  }
}

}  // namespace kobrant::visa::sockets
