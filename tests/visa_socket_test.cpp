// The built-in library's read and write rules over a raw socket, through the C API, against a
// scripted peer on loopback: counts, leftovers, termination character, timeouts, lost links.
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "latch.h"
#include "loopback.h"
#include "visa_session.h"

namespace {

using kobrant::test::gate;

// A one-connection TCP peer on 127.0.0.1: runs script(fd) on the accepted connection.
class scripted_peer {
 public:
  explicit scripted_peer(std::function<void(int)> script)
      : listener_(kobrant::test::listen_loopback(0, 1)), port_(kobrant::test::port_of(listener_)) {
    thread_ = std::thread([this, script = std::move(script)] {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      script(fd);
      ::close(fd);
    });
  }
  ~scripted_peer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::string resource() const { return "TCPIP0::127.0.0.1::" + std::to_string(port_) + "::SOCKET"; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

void send_text(int fd, const std::string& s) { ASSERT_TRUE(kobrant::test::send_all(fd, s)); }

std::string receive_until_newline(int fd) {
  std::string got;
  char c;
  while (::recv(fd, &c, 1, 0) == 1) {
    got.push_back(c);
    if (c == '\n') break;
  }
  return got;
}

// The session is closed (with its manager) after the test body, whose peer has gone by then.
struct session_fixture : ::testing::Test, kobrant::test::visa_session {
  void open(const scripted_peer& peer, ViUInt32 timeout_ms = 2000) {
    ASSERT_EQ(open_resource(peer.resource()), VI_SUCCESS);
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout_ms), VI_SUCCESS);
  }
};

TEST_F(session_fixture, long_response_comes_in_counted_pieces_then_success) {
  scripted_peer peer([](int fd) { send_text(fd, "ABCDEFGHIJ\n"); receive_until_newline(fd); });
  open(peer);
  std::string piece, all;
  EXPECT_EQ(read(piece, 4), VI_SUCCESS_MAX_CNT);
  all += piece;
  EXPECT_EQ(read(piece, 4), VI_SUCCESS_MAX_CNT);
  all += piece;
  EXPECT_EQ(read(piece, 4), VI_SUCCESS);
  all += piece;
  EXPECT_EQ(all, "ABCDEFGHIJ\n");
  // A count that ends exactly on the newline still reports the end, not "more may follow".
  viWrite(vi, reinterpret_cast<ViConstBuf>("x"), 1, nullptr);
}

TEST_F(session_fixture, bytes_beyond_a_response_wait_for_the_next_read) {
  scripted_peer peer([](int fd) { send_text(fd, "first\nsecond\n#14\n\n\n\n\nthird\n"); receive_until_newline(fd); });
  open(peer);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "first\n");
  EXPECT_EQ(read(r, 3), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "sec");
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "ond\n");
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "#14\n\n\n\n\n") << "a block's newlines do not end the response";
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "third\n");
  viWrite(vi, reinterpret_cast<ViConstBuf>("x"), 1, nullptr);
}

TEST_F(session_fixture, leftover_bytes_are_not_visible_past_the_count_returned) {
  scripted_peer peer([](int fd) { send_text(fd, "ab\ncd\n"); receive_until_newline(fd); });
  open(peer);
  char buf[16] = {};
  ViUInt32 got = 0;
  ASSERT_EQ(viRead(vi, reinterpret_cast<ViBuf>(buf), sizeof buf - 1, &got), VI_SUCCESS);
  EXPECT_EQ(got, 3u);
  EXPECT_STREQ(buf, "ab\n") << "a caller printing up to the first zero byte must see one response";
  viWrite(vi, reinterpret_cast<ViConstBuf>("x"), 1, nullptr);
}

TEST_F(session_fixture, termination_character_when_enabled) {
  scripted_peer peer([](int fd) { send_text(fd, "#15a;b;c\n"); receive_until_newline(fd); });
  open(peer);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, ';'), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, "#15a;") << "byte by byte: blocks are not special any more";
  EXPECT_EQ(read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, "b;");
  viWrite(vi, reinterpret_cast<ViConstBuf>("x"), 1, nullptr);
}

TEST_F(session_fixture, timeout_mid_response_reports_the_bytes_that_arrived) {
  gate done;
  scripted_peer peer([&](int fd) { send_text(fd, "partial"); done.wait(); });
  open(peer, 200);
  std::string r;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "partial");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << "hung";
  done.release();
}

TEST_F(session_fixture, zero_timeout_returns_at_once) {
  gate sent, done;
  scripted_peer peer([&](int fd) {
    receive_until_newline(fd);
    send_text(fd, "now\n");
    sent.release();
    done.wait();
  });
  open(peer, 0);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO) << "nothing there yet";
  EXPECT_TRUE(r.empty());
  ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>("go"), 2, nullptr), VI_SUCCESS);
  sent.wait();
  // The bytes are on their way over loopback; with timeout 0 a read takes what is there.
  ViStatus st;
  for (int i = 0; i < 1000 && (st = read(r, 100)) == VI_ERROR_TMO && r.empty(); ++i) usleep(1000);
  EXPECT_EQ(st, VI_SUCCESS);
  EXPECT_EQ(r, "now\n");
  done.release();
}

TEST_F(session_fixture, dropped_connection_is_conn_lost_with_bytes_kept) {
  scripted_peer peer([](int fd) { send_text(fd, "half"); });
  open(peer);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_CONN_LOST);
  EXPECT_EQ(r, "half");
}

TEST_F(session_fixture, end_on_a_write_is_a_newline_unless_one_is_there) {
  std::string received;
  gate done;
  scripted_peer peer([&](int fd) {
    for (int i = 0; i < 4; ++i) received += receive_until_newline(fd);
    done.release();
  });
  open(peer);
  auto write = [&](const std::string& s) {
    ViUInt32 n = 0;
    EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(s.data()), static_cast<ViUInt32>(s.size()), &n), VI_SUCCESS);
    EXPECT_EQ(n, s.size()) << "the added newline is not the caller's byte";
  };
  write("*IDN?");
  write("MEAS?\n");
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
  write("AB");
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE), VI_SUCCESS);
  write("CD");
  write("");
  done.wait();
  EXPECT_EQ(received, "*IDN?\nMEAS?\nABCD\n\n");
}

// The address attributes come from the resource name, are read-only, and a socket has no
// device name.
TEST_F(session_fixture, address_attributes_come_from_the_name_and_are_read_only) {
  gate done;
  scripted_peer peer([&](int) { done.wait(); });
  open(peer);
  char text[256] = {};
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
  EXPECT_STREQ(text, "127.0.0.1");
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_HOSTNAME, text), VI_SUCCESS);
  EXPECT_STREQ(text, "127.0.0.1");
  ViUInt16 port = 0;
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_PORT, &port), VI_SUCCESS);
  EXPECT_EQ(peer.resource(), "TCPIP0::127.0.0.1::" + std::to_string(port) + "::SOCKET");
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_DEVICE_NAME, text), VI_ERROR_NSUP_ATTR);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TCPIP_ADDR, 0), VI_ERROR_ATTR_READONLY);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TCPIP_PORT, 1), VI_ERROR_ATTR_READONLY);
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
  EXPECT_EQ(text, peer.resource());
  done.release();
}

}  // namespace
