// The simulated instrument on a pseudo-terminal (see server_serial.h). One thread runs an
// event loop over the master side: it takes in bytes and flush notices, cuts messages at
// newlines, and streams answers as fast as the client reads them. The master runs in packet
// mode, where every read starts with a status byte: 0 for data, otherwise the notices, such as
// the slave's input or output being flushed.
#include "server_serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "instrument.h"
#include "io.h"

namespace kobrant::sim {

using kobrant::visa::unique_fd;
namespace {

constexpr std::string_view transport_name = "SERIAL";

// A pseudo-terminal takes a few kilobytes per write; larger pieces only mean fewer calls to
// the answer generator.
constexpr std::size_t write_piece = 64 * 1024;

// How long a dropping instrument waits for the client to read the bytes it sent before it
// vanishes anyway (a client that stopped reading must not keep it forever).
constexpr auto drop_read_bound = std::chrono::seconds(10);

// A line has no connection to drop or reset: either way the adapter goes away.
bool ends_line(after_answer after) { return after == after_answer::drop || after == after_answer::reset; }

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

class serial_server final : public server {
 public:
  explicit serial_server(const record& rec) : rec_(rec) {
    master_.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_ || ::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) fail("pseudo-terminal");
    const char* name = ::ptsname(master_.get());
    if (!name) fail("ptsname");
    path_ = name;
    // Held open for the server's life: without it the port would hang up whenever a client
    // closed it, and answers written between clients would be lost.
    slave_.reset(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!slave_) fail("cannot open the pseudo-terminal's slave");
    // Raw until a client sets the port up: an echo would send the answers back as commands.
    termios line{};
    if (::tcgetattr(slave_.get(), &line) != 0) fail("tcgetattr");
    ::cfmakeraw(&line);
    if (::tcsetattr(slave_.get(), TCSANOW, &line) != 0) fail("tcsetattr");
    int on = 1;
    if (::ioctl(master_.get(), TIOCPKT, &on) != 0) fail("packet mode");
    if (::fcntl(master_.get(), F_SETFL, O_NONBLOCK) != 0) fail("non-blocking");
    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) fail("pipe");
    wake_read_.reset(wake[0]);
    wake_write_.reset(wake[1]);
    thread_ = std::thread([this] { serve(); });
  }
  ~serial_server() override { stop(); }

  std::string resource_name() const override { return "ASRL" + path_ + "::INSTR"; }

  void stop() override {
    if (!thread_.joinable()) return;
    const char byte = 0;
    while (::write(wake_write_.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }

 private:
  enum class wait_result { ready, stop };

  // Waits for the master (events) or the stop request, up to timeout_ms (-1: no limit).
  wait_result wait(short events, short& revents, int timeout_ms = -1) const {
    // With the master gone its entry is -1, which poll() skips: only the stop request is left.
    std::array<pollfd, 2> fds{{{master_.get(), events, 0}, {wake_read_.get(), POLLIN, 0}}};
    int n;
    do {
      n = ::poll(fds.data(), fds.size(), timeout_ms);
    } while (n < 0 && errno == EINTR);
    revents = fds[0].revents;
    return fds[1].revents ? wait_result::stop : wait_result::ready;
  }

  // A client opened the port or cleared the device: the instrument starts afresh.
  void start_afresh() {
    if (!partial_.empty()) rec_.append(transport_name, false, partial_);
    partial_.clear();
    input_.clear();
    answer_.reset();
    piece_ = {};
    next_byte_at_ = {};
    session_ = instrument_session{};
  }

  // Reads one packet from the master; false when the master cannot be read at all.
  bool take_input() {
    std::array<std::byte, 64 * 1024> buffer;
    const ssize_t n = ::read(master_.get(), buffer.data(), buffer.size());
    if (n < 0) return errno == EINTR || errno == EAGAIN;
    if (n == 0) return true;
    const auto status = static_cast<unsigned char>(buffer[0]);
    if (status == TIOCPKT_DATA) {
      input_.insert(input_.end(), buffer.begin() + 1, buffer.begin() + n);
    } else if (status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) {
      start_afresh();
    }
    return true;
  }

  // Answers the complete messages in the input, until one has an answer to send.
  void handle_messages() {
    while (!answer_ && !input_.empty()) {
      const auto newline = std::find(input_.begin(), input_.end(), std::byte{'\n'});
      if (newline == input_.end()) {
        partial_.insert(partial_.end(), input_.begin(), input_.end());
        input_.clear();
        return;
      }
      partial_.insert(partial_.end(), input_.begin(), newline + 1);
      input_.erase(input_.begin(), newline + 1);
      rec_.append(transport_name, false, partial_);
      response answer = session_.respond(partial_);
      partial_.clear();
      if (answer.size() > 0 || ends_line(answer.after())) answer_ = std::move(answer);
    }
  }

  // Sends what the master takes of the answer; true once the answer is complete. A paced
  // answer sends a byte, then leaves the next one for when its gap has passed.
  bool send_some() {
    const bool paced = answer_->gap().count() > 0;
    for (;;) {
      if (piece_.empty()) {
        if (answer_->done()) return true;
        piece_ = answer_->next(write_piece);
      }
      const ssize_t n = ::write(master_.get(), piece_.data(), piece_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;  // full (EAGAIN): wait for the client to read
      }
      piece_ = piece_.subspan(static_cast<std::size_t>(n));
      if (paced && piece_.empty() && !answer_->done()) {
        next_byte_at_ = std::chrono::steady_clock::now() + answer_->gap();
        return false;
      }
    }
  }

  // Whether the client has read everything sent. poll() on the slave first moves what the
  // master wrote into its queue, so "not readable" means nothing is left anywhere.
  bool all_read() const {
    pollfd p{slave_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }

  // The adapter is pulled: the client's reads and writes now fail.
  void vanish() {
    const auto until = std::chrono::steady_clock::now() + drop_read_bound;
    short revents = 0;
    while (!all_read() && std::chrono::steady_clock::now() < until) {
      if (wait(0, revents, 2) == wait_result::stop) return;
    }
    slave_.reset();
    master_.reset();  // the last master descriptor: the slave side is hung up
    input_.clear();
    partial_.clear();
  }

  void serve() {
    for (;;) {
      handle_messages();
      short revents = 0;
      // A paced answer waits out its gap with the master's output left unwatched.
      const auto now = std::chrono::steady_clock::now();
      const bool may_write = answer_ && now >= next_byte_at_;
      int timeout_ms = -1;
      if (answer_ && !may_write) {
        timeout_ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(next_byte_at_ - now).count());
      }
      const short events = POLLIN | (may_write ? POLLOUT : 0);
      if (wait(events, revents, timeout_ms) == wait_result::stop) return;
      if (!master_) continue;  // vanished: only a stop request is left to wait for
      // Input first: a flush notice must drop a stale answer before more of it is written.
      if (revents & POLLIN) {
        if (!take_input()) {
          std::fprintf(stderr, "kobrant-sim: serial: %s\n", std::strerror(errno));
          short ignored = 0;
          if (wait(0, ignored, 10) == wait_result::stop) return;  // no busy loop
        }
        continue;
      }
      if (may_write && (revents & POLLOUT) && send_some()) {
        const after_answer after = answer_->after();
        answer_.reset();
        piece_ = {};
        if (ends_line(after)) vanish();
      }
    }
  }

  const record& rec_;
  unique_fd master_;
  unique_fd slave_;
  unique_fd wake_read_;
  unique_fd wake_write_;
  std::string path_;
  std::thread thread_;

  // Only the serving thread touches these.
  instrument_session session_;
  std::vector<std::byte> input_;    // received, not yet cut into messages
  std::vector<std::byte> partial_;  // a message still waiting for its newline
  std::optional<response> answer_;  // the answer being sent
  std::span<const std::byte> piece_;  // the part of answer_'s current piece not yet written
  std::chrono::steady_clock::time_point next_byte_at_{};  // when a paced answer goes on
};

}  // namespace

std::unique_ptr<server> make_serial_server(const record& rec) { return std::make_unique<serial_server>(rec); }

}  // namespace kobrant::sim
