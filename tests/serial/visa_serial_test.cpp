// The serial transport through the C API against a pseudo-terminal whose master side the test
// drives: bytes pass unchanged, END is one newline, timeouts bound reads and writes, the port
// is held exclusively, stale input is dropped, and line settings really reach the port.
#include "serial_line.h"
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
namespace serial = kobrant::visa::serial;

// A pseudo-terminal pair. The test plays the instrument on the master; it also holds the slave
// (the port the library opens) to look at its settings, which keeps the pair alive between
// sessions as a real port is.
class pty_peer {
 public:
  pty_peer() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) throw std::runtime_error("no pty");
    path_ = ::ptsname(master_);
    slave_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t = settings();
    ::cfmakeraw(&t);  // until the library sets the port up, nothing may echo back
    ::tcsetattr(slave_, TCSANOW, &t);
  }
  ~pty_peer() {
    ::close(master_);
    ::close(slave_);
  }

  std::string resource() const { return "ASRL" + path_ + "::INSTR"; }
  int slave() const { return slave_; }
  termios settings() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(slave_, &t), 0);
    return t;
  }

  void send(std::string_view bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Waits until what was sent is in the port's input queue.
  void wait_until_delivered() const {
    pollfd p{slave_, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
  }

  // Waits until count bytes are in the port's input queue, so that one read can take them all.
  void wait_until_queued(int count) const {
    int queued = 0;
    for (auto give_up = clock_type::now() + 10s; clock_type::now() < give_up;) {
      if (::ioctl(slave_, FIONREAD, &queued) == 0 && queued >= count) return;
      std::this_thread::sleep_for(1ms);
    }
    FAIL() << queued << " of " << count << " bytes queued";
  }

  // Everything the library wrote that arrives within a moment: enough to see a missing,
  // doubled or translated byte.
  std::string received() const {
    std::string got;
    char buffer[4096];
    pollfd p{master_, POLLIN, 0};
    while (::poll(&p, 1, got.empty() ? 10000 : 50) == 1) {
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

class session {
 public:
  explicit session(const std::string& resource) {
    viOpenDefaultRM(&rm_);
    status_ = viOpen(rm_, resource.c_str(), VI_NULL, 5000, &vi_);
  }
  ~session() { viClose(rm_); }

  ViStatus status() const { return status_; }
  ViSession vi() const { return vi_; }
  ViStatus set(ViAttr attr, ViAttrState value) const { return viSetAttribute(vi_, attr, value); }
  template <typename T>
  T get(ViAttr attr) const {
    T value{};
    EXPECT_EQ(viGetAttribute(vi_, attr, &value), VI_SUCCESS) << std::hex << attr;
    return value;
  }
  ViStatus write(std::string_view bytes, ViUInt32* count = nullptr) const {
    ViUInt32 n = 0;
    const ViStatus s = viWrite(vi_, reinterpret_cast<ViConstBuf>(bytes.data()), static_cast<ViUInt32>(bytes.size()), &n);
    if (count) *count = n;
    return s;
  }
  std::pair<ViStatus, std::string> read(std::size_t count = 100) const {
    std::string buffer(count, '\0');
    ViUInt32 n = 0;
    const ViStatus s = viRead(vi_, reinterpret_cast<ViBuf>(buffer.data()), static_cast<ViUInt32>(count), &n);
    buffer.resize(n);
    return {s, buffer};
  }

 private:
  ViSession rm_ = VI_NULL;
  ViSession vi_ = VI_NULL;
  ViStatus status_ = VI_ERROR_SYSTEM_ERROR;
};

TEST(serial_transport, bytes_pass_unchanged_both_ways_and_end_is_one_newline) {
  pty_peer peer;
  // Left as a shell would leave it: any of this surviving the open corrupts binary data.
  termios cooked = peer.settings();
  cooked.c_iflag |= ICRNL | IXON | ISTRIP;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ICANON | ECHO | ISIG;
  ASSERT_EQ(::tcsetattr(peer.slave(), TCSANOW, &cooked), 0);
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);

  // CR, XON/XOFF, ^C and bytes with the top bit set go out as they are; END adds one newline,
  // and none when the command already ends in one.
  ViUInt32 count = 0;
  ASSERT_EQ(s.write(std::string("X\r\x11\x13\x03\xff", 6), &count), VI_SUCCESS);
  EXPECT_EQ(count, 6u);  // the caller's bytes, not the added newline
  EXPECT_EQ(peer.received(), std::string("X\r\x11\x13\x03\xff\n", 7));
  ASSERT_EQ(s.write("*RST\n"), VI_SUCCESS);
  EXPECT_EQ(peer.received(), "*RST\n");
  // A command in pieces, as the tool writes one longer than its buffer: END on the last only.
  ASSERT_EQ(s.set(VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
  ASSERT_EQ(s.write("ECHO? a"), VI_SUCCESS);
  EXPECT_EQ(peer.received(), "ECHO? a");
  ASSERT_EQ(s.set(VI_ATTR_SEND_END_EN, VI_TRUE), VI_SUCCESS);
  ASSERT_EQ(s.write("bc"), VI_SUCCESS);
  EXPECT_EQ(peer.received(), "bc\n");

  // In: the same bytes inside a block, so only the final newline ends the response.
  const std::string block("#210\r\n\x00\x11\x13\x03\x04\xff\x1a\x7f\n", 15);
  peer.send(block);
  EXPECT_EQ(s.read(), std::make_pair(VI_SUCCESS, block));
}

TEST(serial_transport, timeouts_bound_reads_and_writes_and_keep_what_arrived) {
  pty_peer peer;
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);
  ASSERT_EQ(s.set(VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);

  auto start = clock_type::now();
  EXPECT_EQ(s.read().first, VI_ERROR_TMO);
  EXPECT_GE(clock_type::now() - start, 190ms);
  EXPECT_LT(clock_type::now() - start, 5s);
  peer.send("partial");
  EXPECT_EQ(s.read(), std::make_pair(VI_ERROR_TMO, std::string("partial")));

  // An instrument that stops taking input: the write ends in time and says how far it got.
  const std::string big(1 << 20, 'x');
  ViUInt32 count = 0;
  start = clock_type::now();
  EXPECT_EQ(s.write(big, &count), VI_ERROR_TMO);
  EXPECT_LT(clock_type::now() - start, 5s);
  EXPECT_GT(count, 0u);
  EXPECT_LT(count, big.size());
}

// A read after one that took a large piece first looks for more bytes without waiting, as an
// answer streaming in is on its way; it must then wait like any read, for bytes that come late
// and until its timeout.
TEST(serial_transport, reads_after_a_large_piece_still_wait_for_late_bytes_and_time_out) {
  pty_peer peer;
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);
  const std::string piece(2048, 'a');
  peer.send(piece);
  peer.wait_until_queued(static_cast<int>(piece.size()));
  EXPECT_EQ(s.read(piece.size()), std::make_pair(VI_SUCCESS_MAX_CNT, piece));
  std::thread late([&] {
    std::this_thread::sleep_for(50ms);
    peer.send("late\n");
  });
  EXPECT_EQ(s.read(), std::make_pair(VI_SUCCESS, std::string("late\n")));
  late.join();

  ASSERT_EQ(s.set(VI_ATTR_TMO_VALUE, 200), VI_SUCCESS);
  peer.send(piece);
  peer.wait_until_queued(static_cast<int>(piece.size()));
  EXPECT_EQ(s.read(piece.size()), std::make_pair(VI_SUCCESS_MAX_CNT, piece));
  const auto start = clock_type::now();
  EXPECT_EQ(s.read().first, VI_ERROR_TMO);
  EXPECT_GE(clock_type::now() - start, 190ms);
  EXPECT_LT(clock_type::now() - start, 5s);
}

TEST(serial_transport, holds_the_port_exclusively_until_closed) {
  pty_peer peer;
  int exclusive = -1;
  {
    session first(peer.resource());
    ASSERT_EQ(first.status(), VI_SUCCESS);
    session second(peer.resource());
    EXPECT_EQ(second.status(), VI_ERROR_RSRC_BUSY);
    // The refused session must not have released the first one's hold.
    ASSERT_EQ(::ioctl(peer.slave(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
  }
  // The pair stays open (the test holds it), so a flag left set would lock others out.
  ASSERT_EQ(::ioctl(peer.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  EXPECT_EQ(session(peer.resource()).status(), VI_SUCCESS);
}

TEST(serial_transport, input_from_before_the_session_or_a_clear_is_dropped) {
  pty_peer peer;
  peer.send("stale answer\n");
  peer.wait_until_delivered();
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);
  peer.send("fresh\n");
  EXPECT_EQ(s.read().second, "fresh\n");

  peer.send("old\n");
  peer.wait_until_delivered();
  EXPECT_EQ(s.get<ViUInt32>(VI_ATTR_ASRL_AVAIL_NUM), 4u);
  ASSERT_EQ(viClear(s.vi()), VI_SUCCESS);
  EXPECT_EQ(s.get<ViUInt32>(VI_ATTR_ASRL_AVAIL_NUM), 0u);
  peer.send("new\n");
  EXPECT_EQ(s.read().second, "new\n");
}

TEST(serial_transport, a_clear_also_drops_the_rest_of_an_answer_still_arriving) {
  pty_peer peer;
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);
  // The instrument goes on answering through the clear, a byte a millisecond, as a real one
  // does: it never sees the port being flushed.
  peer.send("old answer ");
  peer.wait_until_delivered();
  std::thread instrument([&] {
    for (char c : std::string("still arriving")) {
      peer.send(std::string(1, c));
      std::this_thread::sleep_for(1ms);
    }
    peer.send("\n");
  });
  const ViStatus cleared = viClear(s.vi());
  instrument.join();
  EXPECT_EQ(cleared, VI_SUCCESS);
  peer.send("new\n");
  EXPECT_EQ(s.read().second, "new\n");
}

TEST(serial_transport, line_settings_reach_the_port_and_refused_ones_leave_it_as_it_was) {
  pty_peer peer;
  termios fast = peer.settings();
  ::cfsetospeed(&fast, B115200);
  ::cfsetispeed(&fast, B115200);
  ASSERT_EQ(::tcsetattr(peer.slave(), TCSANOW, &fast), 0);
  session s(peer.resource());
  ASSERT_EQ(s.status(), VI_SUCCESS);
  termios port = peer.settings();
  EXPECT_EQ(::cfgetospeed(&port), B9600);  // the defaults, whatever the port was left at

  ASSERT_EQ(s.set(VI_ATTR_ASRL_BAUD, 57600), VI_SUCCESS);
  ASSERT_EQ(s.set(VI_ATTR_ASRL_STOP_BITS, VI_ASRL_STOP_TWO), VI_SUCCESS);
  ASSERT_EQ(s.set(VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_RTS_CTS | VI_ASRL_FLOW_XON_XOFF), VI_SUCCESS);
  port = peer.settings();
  EXPECT_EQ(::cfgetispeed(&port), B57600);
  EXPECT_EQ(port.c_cflag & (CSTOPB | CRTSCTS), CSTOPB | CRTSCTS);
  EXPECT_EQ(port.c_iflag & (IXON | IXOFF), IXON | IXOFF);

  // Values no port takes, and values this one cannot take: a pseudo-terminal keeps 8 data
  // bits and no parity, though the kernel reports success all the same.
  EXPECT_EQ(s.set(VI_ATTR_ASRL_BAUD, 12345), VI_ERROR_NSUP_ATTR_STATE);
  EXPECT_EQ(s.set(VI_ATTR_ASRL_DATA_BITS, 7), VI_ERROR_NSUP_ATTR_STATE);
  EXPECT_EQ(s.set(VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_EVEN), VI_ERROR_NSUP_ATTR_STATE);
  EXPECT_EQ(s.set(VI_ATTR_ASRL_AVAIL_NUM, 1), VI_ERROR_ATTR_READONLY);
  EXPECT_TRUE(serial::same_line_settings(port, peer.settings()));
  EXPECT_EQ(s.get<ViUInt16>(VI_ATTR_ASRL_DATA_BITS), 8);
  EXPECT_EQ(s.get<ViUInt32>(VI_ATTR_ASRL_BAUD), 57600u);
  // No modem lines on a pseudo-terminal: unknown, and not settable.
  EXPECT_EQ(s.get<ViInt16>(VI_ATTR_ASRL_DTR_STATE), VI_STATE_UNKNOWN);
  EXPECT_EQ(s.set(VI_ATTR_ASRL_DTR_STATE, VI_STATE_ASSERTED), VI_ERROR_NSUP_ATTR_STATE);
}

TEST(serial_transport, names_that_are_no_serial_port_fail_cleanly) {
  kobrant::test::temp_dir dir;
  const auto file = dir / "not-a-port";
  std::fclose(std::fopen(file.c_str(), "w"));
  const std::pair<std::string, ViStatus> cases[] = {
      {"ASRL" + file.string() + "::INSTR", VI_ERROR_RSRC_NFOUND},  // a regular file
      {"ASRL/dev/null::INSTR", VI_ERROR_RSRC_NFOUND},              // a device, but no tty
      {"ASRL" + (dir / "ttyUSB9").string() + "::INSTR", VI_ERROR_RSRC_NFOUND},
      {"ASRL0::INSTR", VI_ERROR_INTF_NUM_NCONFIG},                 // numbers start at 1
      {"ASRL65535::INSTR", VI_ERROR_RSRC_NFOUND},                  // /dev/ttyS65534
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(session(name).status(), expected) << name;
}

}  // namespace
