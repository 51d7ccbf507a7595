// ASRL INSTR: an instrument on a serial port (ASRL/dev/ttyUSB0::INSTR, or ASRLn::INSTR for
// /dev/ttyS(n-1), see serial_ports.h). The line carries only bytes: no END, no device clear.
// The core adds the newline that ends a message and finds where a response ends. The port is held exclusively, raw, with the line settings of the
// VISA serial attributes (serial_line.h).
#include "serial_line.h"
#include "serial_ports.h"
#include "transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

namespace kobrant::visa {
namespace {


// Longest pause between two looks at the output queue while waiting for it to drain: the
// kernel offers no event for "sent", so the wait polls, guided by the time the bytes need.
constexpr int max_drain_pause_ms = 20;

// A read that finds the kernel's input buffer empty waits inside the tty layer for its worker
// to move what the driver received into that buffer, and goes to sleep for it even when those
// bytes are microseconds away. While an answer streams in faster than it is taken (the last
// read brought at least streaming_read_bytes), looking at the queue with FIONREAD, which never
// waits, for up to streaming_look first gets the next bytes without that sleep: a 100 MB answer
// over a pseudo-terminal came 3 to 5 times faster, with less CPU time. Reads on a slow line
// bring a few bytes each and never look.
constexpr std::size_t streaming_read_bytes = 1024;
constexpr auto streaming_look = std::chrono::microseconds(30);

// Where an OS error happened: the same errno means "no such port" when opening and "the port
// went away" once it was open (an unplugged USB adapter gives EIO, ENODEV or ENXIO then).
enum class stage { open, io };

ViStatus to_status(int error, stage at) {
  switch (error) {
    case ENOENT: case ENOTDIR: case ENOTTY:
      return VI_ERROR_RSRC_NFOUND;
    case EIO: case ENXIO: case ENODEV: case EPIPE:
      return at == stage::open ? VI_ERROR_RSRC_NFOUND : VI_ERROR_CONN_LOST;
    case EBUSY: case EWOULDBLOCK:
      return VI_ERROR_RSRC_BUSY;
    case EACCES: case EPERM: case EROFS:
      return VI_ERROR_NPERMISSION;
    case ENOMEM: case ENOBUFS:
      return VI_ERROR_ALLOC;
    default:
      return VI_ERROR_IO;
  }
}

// ioctl() and tcsetattr() are restarted after a signal; close() is not (see unique_fd).
template <typename Call>
int retry(Call call) {
  int rc;
  do {
    rc = call();
  } while (rc < 0 && errno == EINTR);
  return rc;
}

class serial_transport final : public transport {
 public:
  ViStatus open(const resource_name& name, const deadline&) override {
    std::string path = std::get<asrl_address>(name.address).device_path;
    if (path.empty()) {
      auto board = serial::board_device(name.board);
      if (!board) return VI_ERROR_INTF_NUM_NCONFIG;
      path = std::move(*board);
    }
    // Only a character device can be a serial port; looking first keeps a FIFO or a regular
    // file named by mistake from being opened at all.
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0) return to_status(errno, stage::open);
    if (!S_ISCHR(info.st_mode)) return VI_ERROR_RSRC_NFOUND;

    // Non-blocking: the open must not wait for a carrier, and no later call may sleep past
    // its deadline. No controlling terminal: a hang-up must not send this process SIGHUP.
    fd_.reset(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd_) return to_status(errno, stage::open);
    if (!::isatty(fd_.get())) return VI_ERROR_RSRC_NFOUND;

    // Two programs writing one port would interleave their commands. The advisory lock keeps
    // out every program that asks for one (root included); TIOCEXCL also refuses plain opens
    // by other users' programs, which never ask.
    if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) return to_status(errno, stage::open);
    exclusive_ = ::ioctl(fd_.get(), TIOCEXCL) == 0;

    termios line{};
    if (::tcgetattr(fd_.get(), &line) != 0) return to_status(errno, stage::open);
    serial::make_default_line(line);
    if (ViStatus status = apply_line(line); status < 0) {
      // A port that cannot take the defaults cannot be used as documented.
      return status == VI_ERROR_NSUP_ATTR_STATE ? VI_ERROR_INV_SETUP : status;
    }
    // Whatever the port received before this session is a stale answer to someone else.
    ::tcflush(fd_.get(), TCIFLUSH);
    return VI_SUCCESS;
  }

  ViStatus write(std::span<const std::byte> data, std::span<const std::byte> tail, bool,
                 const deadline& until, std::size_t& written) override {
    written = 0;
    if (!fd_) return VI_ERROR_CONN_LOST;
    const std::size_t total = data.size() + tail.size();
    std::size_t sent = 0;
    ViStatus status = VI_SUCCESS;
    while (sent < total) {
      iovec iov[2];
      int count = 0;
      if (sent < data.size()) {
        iov[count++] = {const_cast<std::byte*>(data.data() + sent), data.size() - sent};
      }
      const std::size_t tail_sent = sent > data.size() ? sent - data.size() : 0;
      if (tail_sent < tail.size())
        iov[count++] = {const_cast<std::byte*>(tail.data() + tail_sent), tail.size() - tail_sent};
      const ssize_t n = ::writev(fd_.get(), iov, count);
      if (n > 0) {
        sent += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) {
        status = VI_ERROR_ABORT;
        break;
      }
      if (n < 0 && errno != EAGAIN) {
        status = to_status(errno, stage::io);
        break;
      }
      status = wait_ready(fd_.get(), POLLOUT, until);
      if (status < 0) break;
    }
    written = std::min(sent, data.size());
    if (status >= 0) status = drain(until);
    output_pending_ = status < 0;
    return status;
  }

  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline& until,
                std::size_t& count, bool& end) override {
    end = false;
    count = 0;
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (space.empty()) return VI_SUCCESS;
    if (streaming_ && !until.expired()) await_streaming_bytes();
    streaming_ = false;
    for (;;) {
      const ssize_t n = ::read(fd_.get(), space.data(), space.size());
      if (n > 0) {
        count = static_cast<std::size_t>(n);
        streaming_ = count >= streaming_read_bytes;
        return VI_SUCCESS;
      }
      // With VMIN 1 an empty queue is EAGAIN; 0 comes only from a port that was hung up.
      if (n == 0) return VI_ERROR_CONN_LOST;
      // A signal ends the read as it ends a wait (net.h): the bytes stay queued for the next.
      if (errno == EINTR) return VI_ERROR_ABORT;
      if (errno != EAGAIN) return to_status(errno, stage::io);
      if (ViStatus status = wait_ready(fd_.get(), POLLIN, until); status < 0) return status;
    }
  }

  ViStatus clear(const deadline& until) override {
    // A serial line has no device clear: discard what either side has queued in the kernel,
    // then what still arrives until the line has been quiet a moment (the rest of an answer
    // on its way), so the next answer read is the answer to the next command.
    if (!fd_) return VI_ERROR_CONN_LOST;
    if (::tcflush(fd_.get(), TCIOFLUSH) != 0) return to_status(errno, stage::io);
    output_pending_ = false;
    return drain_until_quiet(fd_.get(), until);
  }

  void close() noexcept override {
    if (!fd_) return;
    // Bytes a failed write left queued would make close() wait for them (up to 30 s by the
    // kernel's default); the caller has already been told that write failed.
    if (output_pending_) ::tcflush(fd_.get(), TCOFLUSH);
    // The exclusive flag outlives this descriptor while another one holds the port open.
    if (exclusive_) ::ioctl(fd_.get(), TIOCNXCL);
    fd_.reset();
  }

  // In another process the port is still the opener's: its exclusive flag and queued output
  // stay as they are.
  void drop() noexcept override { fd_.reset(); }

  ViStatus set_attribute(ViAttr attr, ViAttrState value) override {
    if (serial::is_line_attribute(attr)) {
      termios next = line_;
      if (ViStatus status = serial::set_line_attribute(next, attr, value); status < 0) return status;
      return apply_line(next);
    }
    if (attr == VI_ATTR_ASRL_AVAIL_NUM) return VI_ERROR_ATTR_READONLY;
    if (const int bit = serial::modem_line_bit(attr)) {
      if (!serial::is_settable_modem_line(attr)) return VI_ERROR_ATTR_READONLY;
      if (value != ViAttrState(VI_STATE_ASSERTED) && value != ViAttrState(VI_STATE_UNASSERTED))
        return VI_ERROR_NSUP_ATTR_STATE;
      if (!fd_) return VI_ERROR_CONN_LOST;
      const unsigned long request = value == ViAttrState(VI_STATE_ASSERTED) ? TIOCMBIS : TIOCMBIC;
      if (retry([&] { return ::ioctl(fd_.get(), request, &bit); }) != 0) {
        // A port without modem lines (a pseudo-terminal) cannot take the value at all.
        return errno == ENOTTY || errno == EINVAL ? VI_ERROR_NSUP_ATTR_STATE : to_status(errno, stage::io);
      }
      return VI_SUCCESS;
    }
    return not_mine;
  }

  ViStatus get_attribute(ViAttr attr, void* out) override {
    if (serial::is_line_attribute(attr)) return serial::get_line_attribute(line_, attr, out);
    if (attr == VI_ATTR_ASRL_AVAIL_NUM) {
      int waiting = 0;
      if (!fd_) return VI_ERROR_CONN_LOST;
      if (retry([&] { return ::ioctl(fd_.get(), FIONREAD, &waiting); }) != 0) return to_status(errno, stage::io);
      *static_cast<ViUInt32*>(out) = static_cast<ViUInt32>(std::max(waiting, 0));
      return VI_SUCCESS;
    }
    if (const int bit = serial::modem_line_bit(attr)) {
      int lines = 0;
      ViInt16 state = VI_STATE_UNKNOWN;
      if (fd_ && retry([&] { return ::ioctl(fd_.get(), TIOCMGET, &lines); }) == 0)
        state = lines & bit ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
      *static_cast<ViInt16*>(out) = state;
      return VI_SUCCESS;
    }
    return not_mine;
  }

 private:
  // Sets the port to line and reads it back: the kernel reports success when it carried out
  // any part of a change, and a driver may round a rate it cannot make. On a mismatch the
  // port gets its previous settings back and the value is refused.
  ViStatus apply_line(const termios& line) {
    termios before{};
    if (::tcgetattr(fd_.get(), &before) != 0) return to_status(errno, stage::io);
    if (retry([&] { return ::tcsetattr(fd_.get(), TCSANOW, &line); }) != 0) {
      return errno == EINVAL ? VI_ERROR_NSUP_ATTR_STATE : to_status(errno, stage::io);
    }
    termios actual{};
    if (::tcgetattr(fd_.get(), &actual) != 0) return to_status(errno, stage::io);
    if (!serial::same_line_settings(actual, line)) {
      retry([&] { return ::tcsetattr(fd_.get(), TCSANOW, &before); });
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    std::lock_guard lock(line_mutex_);
    line_ = actual;
    return VI_SUCCESS;
  }

  // Waits until the bytes handed to the kernel have left the port, so the timeout bounds the
  // whole transfer (flow control holding them back is a timeout, not a silent success) and
  // closing the port never waits for them.
  ViStatus drain(const deadline& until) {
    for (;;) {
      int queued = 0;
      if (retry([&] { return ::ioctl(fd_.get(), TIOCOUTQ, &queued); }) != 0) {
        // A port that cannot tell is taken as drained; a port that went away is not.
        return errno == ENOTTY || errno == EINVAL ? VI_SUCCESS : to_status(errno, stage::io);
      }
      if (queued <= 0) return VI_SUCCESS;
      if (until.expired()) return VI_ERROR_TMO;
      int pause = static_cast<int>(std::min<unsigned>(transmit_ms(static_cast<unsigned long>(queued)),
                                                      max_drain_pause_ms));
      pause = std::max(pause, 1);
      if (!until.infinite()) pause = std::min(pause, std::max(until.poll_ms(), 1));
      // A signal during the pause ends the write as one during any other wait would.
      if (ViStatus status = pause_ms(pause, until); status < 0) return status;
    }
  }

  // Returns once the kernel holds input, or after streaming_look (then read() waits as usual).
  void await_streaming_bytes() const {
    const auto give_up = std::chrono::steady_clock::now() + streaming_look;
    int queued = 0;
    while (::ioctl(fd_.get(), FIONREAD, &queued) == 0 && queued == 0 &&
           std::chrono::steady_clock::now() < give_up) {
    }
  }

  unsigned transmit_ms(unsigned long count) {
    std::lock_guard lock(line_mutex_);
    return serial::transmit_ms(line_, count);
  }

  unique_fd fd_;
  // The settings the port has now. Attribute calls change them while a write may be draining,
  // which reads them; line_mutex_ guards that one meeting.
  std::mutex line_mutex_;
  termios line_{};
  bool exclusive_ = false;       // TIOCEXCL set by this session
  bool output_pending_ = false;  // the last write failed with bytes still queued
  bool streaming_ = false;       // the last read brought streaming_read_bytes or more
};

std::unique_ptr<transport> make_serial_transport() { return std::make_unique<serial_transport>(); }

void list_serial_ports(std::vector<std::string>& names) {
  for (const std::string& port : serial::find_ports()) names.push_back("ASRL/dev/" + port + "::INSTR");
}

}  // namespace

constinit const transport_entry serial_transport_entry{
    VI_INTF_ASRL, "INSTR", address_index<asrl_address>, "serial", false, &make_serial_transport, &list_serial_ports};

}  // namespace kobrant::visa
