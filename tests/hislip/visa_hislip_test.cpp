// The HiSLIP transport through the C API against a scripted server on loopback: the opening
// handshake, message ids and END on writes, answers that span messages and reads, timeouts
// that leave the stream in step, device clear, and servers that misbehave.
#include "hislip_wire.h"
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "latch.h"
#include "loopback.h"
#include "visa_session.h"

namespace {

using namespace kobrant::visa::hislip;

struct message {
  header head;
  std::string payload;
};

using kobrant::test::gate;
using kobrant::test::receive_exact;

void send_raw(int fd, std::string_view bytes) { kobrant::test::send_all(fd, bytes); }

std::string header_text(message_type type, std::uint8_t control, std::uint32_t parameter, std::uint64_t length) {
  const auto h = encode_header({type, control, parameter, length});
  return {reinterpret_cast<const char*>(h.data()), h.size()};
}

void send_message(int fd, message_type type, std::uint8_t control, std::uint32_t parameter,
                  std::string_view payload = {}) {
  send_raw(fd, header_text(type, control, parameter, payload.size()) + std::string(payload));
}

// The next message from the client, or nothing once it has gone (or sent no HiSLIP).
std::optional<message> receive_message(int fd) {
  header_bytes raw;
  if (!receive_exact(fd, reinterpret_cast<char*>(raw.data()), raw.size())) return std::nullopt;
  message m;
  if (decode_header(raw, 1 << 24, m.head) != decode_status::ok) return std::nullopt;
  m.payload.resize(m.head.payload_length);
  if (!receive_exact(fd, m.payload.data(), m.payload.size())) return std::nullopt;
  return m;
}

std::vector<message> receive_until_gone(int fd) {
  std::vector<message> all;
  while (auto m = receive_message(fd)) all.push_back(std::move(*m));
  return all;
}

constexpr std::uint16_t session_id = 0x02A5;

// A HiSLIP server on 127.0.0.1 that runs script on its own thread. Every wait of the server
// is bounded, so a client that misbehaves fails the test instead of hanging it.
class hislip_peer {
 public:
  explicit hislip_peer(std::function<void(hislip_peer&)> script)
      : listener_(kobrant::test::listen_loopback(0, 2)), port_(kobrant::test::port_of(listener_)) {
    thread_ = std::thread([this, script = std::move(script)] {
      script(*this);
      if (sync >= 0) ::close(sync);
      if (async >= 0) ::close(async);
    });
  }
  ~hislip_peer() { join(); }
  void join() {
    if (!thread_.joinable()) return;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }

  std::string resource(const std::string& sub_address = "hislip0") const {
    return "TCPIP0::127.0.0.1::" + sub_address + "," + std::to_string(port_) + "::INSTR";
  }

  int accept_channel() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 20000) != 1) return -1;
    const int fd = ::accept(listener_, nullptr, nullptr);
    timeval bound{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    // Scripts send a message per call; without this, each waits for the previous one's ACK.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
  }

  // The opening as a server runs it, keeping what the client sent.
  void handshake(std::uint64_t server_max = 1 << 20) {
    sync = accept_channel();
    initialize = receive_message(sync).value_or(message{});
    send_message(sync, message_type::initialize_response, 0, 0x01000000u | session_id);
    async = accept_channel();
    async_initialize = receive_message(async).value_or(message{});
    send_message(async, message_type::async_initialize_response, 0, 0x4B42);
    max_size = receive_message(async).value_or(message{});
    const auto size = encode_u64(server_max);
    send_message(async, message_type::async_maximum_message_size_response, 0, 0,
                 {reinterpret_cast<const char*>(size.data()), size.size()});
  }

  int sync = -1;
  int async = -1;
  message initialize, async_initialize, max_size;

 private:
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
};

struct hislip_session : ::testing::Test, kobrant::test::visa_session {
  std::unique_ptr<hislip_peer> peer;

  ViStatus start(std::function<void(hislip_peer&)> script, const std::string& sub_address = "hislip0") {
    peer = std::make_unique<hislip_peer>(std::move(script));
    return open_resource(peer->resource(sub_address));
  }
  void timeout(ViUInt32 ms) { ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, ms), VI_SUCCESS); }
  // Ends the client's side and waits for the server's script to finish.
  void finish() {
    close();
    if (peer) peer->join();
  }
  void TearDown() override { finish(); }
};

TEST_F(hislip_session, opening_offers_a_version_names_the_sub_address_and_pairs_the_channels) {
  ASSERT_EQ(start([](hislip_peer& p) { p.handshake(); receive_until_gone(p.sync); }, "hislip3"), VI_SUCCESS);
  char text[256] = {};
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_DEVICE_NAME, text), VI_SUCCESS);
  EXPECT_STREQ(text, "hislip3");
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_ADDR, text), VI_SUCCESS);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TCPIP_DEVICE_NAME, 0), VI_ERROR_ATTR_READONLY);
  finish();
  EXPECT_EQ(peer->initialize.head.type, message_type::initialize);
  EXPECT_EQ(peer->initialize.head.message_parameter >> 16, 0x0100u);
  EXPECT_EQ(peer->initialize.payload, "hislip3");
  EXPECT_EQ(peer->async_initialize.head.type, message_type::async_initialize);
  EXPECT_EQ(peer->async_initialize.head.message_parameter & 0xFFFF, session_id);
  EXPECT_EQ(peer->max_size.head.type, message_type::async_maximum_message_size);
  EXPECT_EQ(decode_u64(std::as_bytes(std::span(peer->max_size.payload))), std::uint64_t{1} << 20);
}

TEST_F(hislip_session, a_server_with_too_many_clients_refuses_the_open_as_busy) {
  EXPECT_EQ(start([](hislip_peer& p) {
              p.sync = p.accept_channel();
              receive_message(p.sync);
              send_message(p.sync, message_type::fatal_error, 4, 0, "too many clients");
            }),
            VI_ERROR_RSRC_BUSY);
}

TEST_F(hislip_session, writes_split_at_the_server_maximum_with_end_on_the_last_message_only) {
  std::vector<message> got;
  ASSERT_EQ(start([&](hislip_peer& p) {
              p.handshake(header_size + 4);
              for (int i = 0; i < 3; ++i) got.push_back(receive_message(p.sync).value_or(message{}));
              send_message(p.sync, message_type::data_end, 0, got.back().head.message_parameter, "ok\n");
              for (auto& m : receive_until_gone(p.sync)) got.push_back(m);
            }),
            VI_SUCCESS);
  std::string r;
  EXPECT_EQ(write("ABCDEFGHIJ"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
  EXPECT_EQ(write("xy"), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE), VI_SUCCESS);
  EXPECT_EQ(write(""), VI_SUCCESS);
  finish();

  // Ids step by two per message; the first message after a whole answer says it was delivered.
  const std::vector<std::tuple<message_type, std::uint32_t, std::uint8_t, std::string>> expected = {
      {message_type::data, 0xFFFFFF00, 0, "ABCD"}, {message_type::data, 0xFFFFFF02, 0, "EFGH"},
      {message_type::data_end, 0xFFFFFF04, 0, "IJ"}, {message_type::data, 0xFFFFFF06, rmt_delivered, "xy"},
      {message_type::data_end, 0xFFFFFF08, 0, ""}};
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(got[i].head.type, std::get<0>(expected[i]));
    EXPECT_EQ(got[i].head.message_parameter, std::get<1>(expected[i]));
    EXPECT_EQ(got[i].head.control_code, std::get<2>(expected[i]));
    EXPECT_EQ(got[i].payload, std::get<3>(expected[i]));
  }
}

TEST_F(hislip_session, a_write_cut_short_by_a_timeout_ends_the_session_instead_of_garbling_it) {
  gate go_on;
  ASSERT_EQ(start([&](hislip_peer& p) {
              p.handshake(std::uint64_t{1} << 30);
              go_on.wait();  // reads nothing until the client has given up
            }),
            VI_SUCCESS);
  timeout(300);
  const std::string big(std::size_t{64} << 20, 'x');
  ViUInt32 sent = 0;
  EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(big.data()), static_cast<ViUInt32>(big.size()), &sent),
            VI_ERROR_TMO);
  EXPECT_LT(sent, big.size());
  // The server holds half a message; whatever came next would be read as the rest of it.
  EXPECT_EQ(write("*IDN?"), VI_ERROR_CONN_LOST);
  go_on.release();
  finish();  // the server's thread still uses go_on until it is joined
}

TEST_F(hislip_session, after_a_timeout_mid_answer_the_rest_of_it_never_mixes_into_the_next) {
  ASSERT_EQ(start([](hislip_peer& p) {
              p.handshake();
              auto first = receive_message(p.sync);
              send_raw(p.sync, header_text(message_type::data_end, 0, first->head.message_parameter, 10) + "01234");
              auto second = receive_message(p.sync);
              send_raw(p.sync, "56789");
              send_message(p.sync, message_type::data_end, 0, second->head.message_parameter, "fresh\n");
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  timeout(300);
  std::string r;
  EXPECT_EQ(write("STALL?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "01234");
  EXPECT_EQ(write("NEXT?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "fresh\n");
}

TEST_F(hislip_session, a_timeout_mid_header_loses_nothing_of_the_answer) {
  gate go_on;
  ASSERT_EQ(start([&](hislip_peer& p) {
              p.handshake();
              auto q = receive_message(p.sync);
              const std::string whole = header_text(message_type::data_end, 0, q->head.message_parameter, 5) + "late\n";
              send_raw(p.sync, whole.substr(0, 7));
              go_on.wait();
              send_raw(p.sync, whole.substr(7));
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  timeout(200);
  std::string r;
  EXPECT_EQ(write("SLOW?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "");
  go_on.release();
  timeout(10000);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "late\n");
}

TEST_F(hislip_session, a_fatal_error_ends_the_session_with_a_clear_status_and_keeps_the_bytes) {
  ASSERT_EQ(start([](hislip_peer& p) {
              p.handshake();
              auto q = receive_message(p.sync);
              send_message(p.sync, message_type::data, 0, q->head.message_parameter, "part");
              send_message(p.sync, message_type::fatal_error, 0, 0, "internal failure");
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  std::string r;
  EXPECT_EQ(write("Q?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_ERROR_INP_PROT_VIOL);
  EXPECT_EQ(r, "part");
  EXPECT_EQ(write("Q?"), VI_ERROR_CONN_LOST);
}

TEST_F(hislip_session, an_error_with_a_long_text_fails_the_read_but_the_session_goes_on) {
  ASSERT_EQ(start([](hislip_peer& p) {
              p.handshake();
              receive_message(p.sync);
              send_message(p.sync, message_type::error, 4, 0, std::string(3000, 'e'));
              auto q = receive_message(p.sync);
              send_message(p.sync, message_type::data_end, 0, q->head.message_parameter, "ok\n");
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  std::string r;
  EXPECT_EQ(write("BIG?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_ERROR_INP_PROT_VIOL);
  EXPECT_EQ(write("Q?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "ok\n");
}

// A stream that is not HiSLIP, at the open or mid-session, or a length nobody could mean: the
// client reports a protocol error, tells the server, and allocates nothing from the length.
TEST_F(hislip_session, a_malformed_header_or_an_absurd_length_is_a_protocol_error_not_an_allocation) {
  for (const std::string bad : {"prologue", "length", "open"}) {
    SCOPED_TRACE(bad);
    std::optional<message> complaint;
    const ViStatus opened = start([&](hislip_peer& p) {
      if (bad == "open") {
        p.sync = p.accept_channel();
        receive_message(p.sync);
        send_raw(p.sync, "-113,\"Undefined header\"\n");
      } else {
        p.handshake();
        auto q = receive_message(p.sync);
        std::string head = header_text(message_type::data_end, 0, q->head.message_parameter, std::uint64_t{1} << 62);
        if (bad == "prologue") head[1] = 'X';
        send_raw(p.sync, head + "data");
      }
      complaint = receive_message(p.sync);
      receive_until_gone(p.sync);
    });
    if (bad == "open") {
      EXPECT_EQ(opened, VI_ERROR_RAW_RD_PROT_VIOL);
    } else {
      ASSERT_EQ(opened, VI_SUCCESS);
      std::string r;
      EXPECT_EQ(write("Q?"), VI_SUCCESS);
      EXPECT_EQ(read(r, 100), VI_ERROR_RAW_RD_PROT_VIOL);
      EXPECT_EQ(r, "");
      EXPECT_EQ(write("Q?"), VI_ERROR_CONN_LOST);
    }
    finish();
    ASSERT_TRUE(complaint);
    EXPECT_EQ(complaint->head.type, message_type::fatal_error);
  }
}

TEST_F(hislip_session, device_clear_drops_the_rest_of_an_answer_and_restarts_message_ids) {
  std::vector<message> seen;
  ASSERT_EQ(start([&](hislip_peer& p) {
              p.handshake();
              auto q = receive_message(p.sync);
              send_raw(p.sync, header_text(message_type::data_end, 0, q->head.message_parameter, 10) + "01234");
              seen.push_back(receive_message(p.async).value_or(message{}));
              send_message(p.async, message_type::async_device_clear_acknowledge, overlap_mode, 0);
              send_raw(p.sync, "56789");
              seen.push_back(receive_message(p.sync).value_or(message{}));
              send_message(p.sync, message_type::device_clear_acknowledge, overlap_mode, 0);
              auto after = receive_message(p.sync);
              seen.push_back(*after);
              send_message(p.sync, message_type::data_end, 0, after->head.message_parameter, "after\n");
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  timeout(300);
  std::string r;
  EXPECT_EQ(write("A?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "01234");
  EXPECT_EQ(viClear(vi), VI_SUCCESS);
  EXPECT_EQ(write("C?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "after\n");
  finish();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].head.type, message_type::async_device_clear);
  EXPECT_EQ(seen[1].head.type, message_type::device_clear_complete);
  EXPECT_EQ(seen[1].head.control_code, overlap_mode);
  EXPECT_EQ(seen[2].head.message_parameter, first_message_id);
}


// A status query names the latest message sent on the synchronous channel, and a status query
// or trigger says RMT-delivered when it is the first message after a whole answer reached the
// application: the instrument needs both to report MAV rightly.
TEST_F(hislip_session, status_queries_and_triggers_carry_the_latest_message_id_and_rmt_delivered) {
  std::vector<message> queries, triggers;
  const auto answer_query = [&](hislip_peer& p, std::uint8_t stb) {
    queries.push_back(receive_message(p.async).value_or(message{}));
    send_message(p.async, message_type::async_status_response, stb, 0);
  };
  const auto answer_data = [](hislip_peer& p) {
    const auto m = receive_message(p.sync).value_or(message{});
    send_message(p.sync, message_type::data_end, 0, m.head.message_parameter, "ok\n");
  };
  ASSERT_EQ(start([&](hislip_peer& p) {
              p.handshake();
              answer_query(p, 0x42);
              answer_data(p);
              triggers.push_back(receive_message(p.sync).value_or(message{}));
              answer_query(p, 0x00);
              answer_data(p);
              answer_query(p, 0x50);
              answer_query(p, 0x40);
              receive_until_gone(p.sync);
            }),
            VI_SUCCESS);
  ViUInt16 stb = 0;
  std::string r;
  EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x42) << "the status byte is the response's control code";
  EXPECT_EQ(write("A?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(viAssertTrigger(vi, VI_TRIG_PROT_DEFAULT), VI_SUCCESS);
  EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
  EXPECT_EQ(write("B?"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "ok\n") << "the answer to the message after the trigger is delivered";
  EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x50);
  EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x40);
  finish();

  ASSERT_EQ(triggers.size(), 1u);
  EXPECT_EQ(triggers[0].head.type, message_type::trigger);
  EXPECT_EQ(triggers[0].head.message_parameter, 0xFFFFFF02u);
  EXPECT_EQ(triggers[0].head.control_code, rmt_delivered) << "first message after the answer to A?";
  // (message id named, RMT-delivered) of each query in turn.
  const std::vector<std::pair<std::uint32_t, std::uint8_t>> expected = {
      {0xFFFFFEFE, 0}, {0xFFFFFF02, 0}, {0xFFFFFF04, rmt_delivered}, {0xFFFFFF04, 0}};
  ASSERT_EQ(queries.size(), expected.size());
  for (std::size_t i = 0; i < queries.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(queries[i].head.type, message_type::async_status_query);
    EXPECT_EQ(queries[i].head.message_parameter, expected[i].first);
    EXPECT_EQ(queries[i].head.control_code, expected[i].second);
  }
}

}  // namespace
