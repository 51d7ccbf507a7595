// The VXI-11 transport through the VISA C API against a scripted server: what each call
// carries (port mapper query, link, END on exactly the last piece, read requests, termination
// character, timeouts), how replies become statuses, and how the client copes with a server
// that is slow, silent, garbled or gone. Each test runs in its own network namespace.
#include <kobrant/visa.h>

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "fake_server.h"
#include "latch.h"
#include "private_network.h"
#include "visa_session.h"

namespace kobrant::test {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t create_link = 10, device_write = 11, device_read = 12, device_clear = 15,
                        destroy_link = 23;
constexpr std::uint32_t flag_end = 0x08, flag_termchrset = 0x80;
constexpr std::uint32_t reason_reqcnt = 1, reason_chr = 2, reason_end = 4;

struct write_seen {
  std::string data;
  bool end;
  bool operator==(const write_seen&) const = default;
};

// Answers device_write calls until one carries END, each accepted whole.
std::vector<write_seen> take_message(core_peer& peer) {
  std::vector<write_seen> seen;
  for (;;) {
    rpc_call call = peer.next_call();
    if (call.closed || call.proc != device_write) return seen;
    seen.push_back({call.opaque, (call.words[3] & flag_end) != 0});
    peer.reply(call, xdr_u32(0) + xdr_u32(static_cast<std::uint32_t>(call.opaque.size())));
    if (seen.back().end) return seen;
  }
}

// Answers the client's closing destroy_link; false when something else came.
bool expect_destroy(core_peer& peer) {
  rpc_call call = peer.next_call();
  if (call.closed || call.proc != destroy_link) return false;
  peer.reply(call, xdr_u32(0));
  return true;
}

struct vxi11_client : ::testing::Test, visa_session {
  void SetUp() override {
    if (!in_private_network()) {
      GTEST_SKIP() << "needs a private network namespace to serve port 111 (run as root): "
                   << private_network_failure();
    }
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  }

  ViStatus open(const fake_server& server, ViUInt32 timeout_ms = 2000, const std::string& device = "") {
    ViStatus status = open_resource(server.resource(device));
    if (status >= VI_SUCCESS) {
      EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout_ms), VI_SUCCESS);
    }
    return status;
  }
};

// Replies arrive through a receive buffer that takes a record mark, the head, the result
// words and data together, and long data straight into the caller's space. Each reply here
// comes in two pieces cut at every point (a pause between them, so the client reads the first
// piece alone), in one fragment or in many small ones, short and longer than the buffer: the
// answers must come out whole and in step with their calls.
TEST_F(vxi11_client, replies_cut_at_any_byte_arrive_whole_and_in_step) {
  struct reply_case {
    std::string data;
    std::size_t fragment;
    std::size_t cuts;  // the cuts run over the first this many bytes of the record
  };
  std::string long_data;
  for (int i = 0; i < 9000; ++i) long_data.push_back(static_cast<char>('a' + i % 26));
  long_data += '\n';
  const std::vector<reply_case> cases = {
      {"KOBRANT,FAKE\n", 1 << 30, 0},
      {"KOBRANT,FAKE\n", 5, 0},
      {long_data, 1 << 30, 100},
  };
  auto send_cut = [](core_peer& peer, const std::string& record, std::size_t cut) {
    peer.send_raw(record.substr(0, cut));
    std::this_thread::sleep_for(1ms);
    peer.send_raw(record.substr(cut));
  };
  auto record_of = [](const reply_case& c, std::uint32_t xid) {
    return as_record(reply_body(xid, read_results(0, reason_end, c.data)), c.fragment);
  };
  auto cuts_of = [&](const reply_case& c) {
    return c.cuts ? c.cuts : record_of(c, 0).size();
  };
  bool destroyed = false;
  fake_server server([&](core_peer& peer) {
    // Each piece goes out at once, not held back for the peer's acknowledgement.
    const int one = 1;
    ::setsockopt(peer.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    peer.accept_link();
    for (const auto& c : cases) {
      for (std::size_t cut = 0; cut <= cuts_of(c); ++cut) {
        const rpc_call write_call = peer.next_call();
        if (write_call.closed) return;
        const std::string written = as_record(reply_body(write_call.xid, xdr_u32(0) + xdr_u32(6)));
        send_cut(peer, written, cut % written.size());
        const rpc_call read_call = peer.next_call();
        if (read_call.closed) return;
        send_cut(peer, record_of(c, read_call.xid), cut);
      }
    }
    destroyed = expect_destroy(peer);
  });
  ASSERT_EQ(open(server, 3000), VI_SUCCESS);
  for (const auto& c : cases) {
    for (std::size_t cut = 0; cut <= cuts_of(c); ++cut) {
      ASSERT_EQ(write("DATA?\n"), VI_SUCCESS) << cut;
      std::string answer;
      ASSERT_EQ(read(answer, 20000), VI_SUCCESS) << cut;
      ASSERT_EQ(answer, c.data) << "fragment " << c.fragment << ", cut at " << cut;
    }
  }
  close();
  server.join();
  EXPECT_TRUE(destroyed);
}

TEST_F(vxi11_client, a_query_is_a_port_query_a_link_a_write_with_end_and_a_read) {
  rpc_call link, write_call, read_call;
  bool destroyed = false;
  fake_server server([&](core_peer& peer) {
    link = peer.accept_link();
    write_call = peer.next_call();
    peer.reply(write_call, xdr_u32(0) + xdr_u32(6));
    read_call = peer.next_call();
    peer.reply(read_call, read_results(0, reason_end, "KOBRANT,FAKE\n"));
    destroyed = expect_destroy(peer);
  });
  ASSERT_EQ(open(server, 3000), VI_SUCCESS);
  char device[256] = {};
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_DEVICE_NAME, device), VI_SUCCESS);
  EXPECT_STREQ(device, "inst0");
  ViUInt16 port = 0;
  EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TCPIP_PORT, &port), VI_ERROR_NSUP_ATTR) << "only sockets have a port";
  ASSERT_EQ(write("*IDN?\n"), VI_SUCCESS);
  std::string answer;
  EXPECT_EQ(read(answer, 1000), VI_SUCCESS);
  EXPECT_EQ(answer, "KOBRANT,FAKE\n");
  close();
  server.join();

  const auto mapper = server.mapper_calls();
  ASSERT_EQ(mapper.size(), 1u);
  EXPECT_EQ(mapper[0].proc, 3u);
  EXPECT_EQ(mapper[0].words, (std::vector<std::uint32_t>{0x0607AF, 1, 6, 0})) << "core program, TCP";

  EXPECT_EQ(link.proc, create_link);
  EXPECT_EQ(link.opaque, "inst0") << "the default device name";
  ASSERT_EQ(link.words.size(), 3u);
  EXPECT_EQ(link.words[1], 0u) << "no lock asked for";

  EXPECT_EQ(write_call.proc, device_write);
  EXPECT_EQ(write_call.opaque, "*IDN?\n");
  EXPECT_EQ(write_call.words[0], 1u) << "the link id from create_link";
  EXPECT_EQ(write_call.words[3], flag_end);
  // io_timeout is the time left of the operation: at most the timeout, and not much less.
  EXPECT_LE(write_call.words[1], 3000u);
  EXPECT_GT(write_call.words[1], 2000u);

  EXPECT_EQ(read_call.proc, device_read);
  ASSERT_EQ(read_call.words.size(), 6u);
  EXPECT_EQ(read_call.words[1], 1000u) << "requestSize is the caller's count";
  EXPECT_EQ(read_call.words[4] & flag_termchrset, 0u) << "no termination character unless enabled";
  EXPECT_TRUE(destroyed) << "close destroys the link";
}

TEST_F(vxi11_client, writes_are_cut_at_max_recv_size_with_end_on_the_last_piece_only) {
  std::vector<std::vector<write_seen>> messages;
  fake_server server([&](core_peer& peer) {
    peer.accept_link(4);
    for (int i = 0; i < 4; ++i) messages.push_back(take_message(peer));
    // SEND_END_EN off: no END at all, the message goes on in the next write.
    messages.push_back(take_message(peer));
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  EXPECT_EQ(write("ABCDEFGHIJ"), VI_SUCCESS);
  EXPECT_EQ(write("ABCD"), VI_SUCCESS);
  EXPECT_EQ(write("ABCDE"), VI_SUCCESS);
  EXPECT_EQ(write(""), VI_SUCCESS);  // END alone
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
  EXPECT_EQ(write("ABCDEF"), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_TRUE), VI_SUCCESS);
  EXPECT_EQ(write("G"), VI_SUCCESS);
  close();
  server.join();

  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[0], (std::vector<write_seen>{{"ABCD", false}, {"EFGH", false}, {"IJ", true}}));
  EXPECT_EQ(messages[1], (std::vector<write_seen>{{"ABCD", true}}));
  EXPECT_EQ(messages[2], (std::vector<write_seen>{{"ABCD", false}, {"E", true}}));
  EXPECT_EQ(messages[3], (std::vector<write_seen>{{"", true}}));
  EXPECT_EQ(messages[4], (std::vector<write_seen>{{"ABCD", false}, {"EF", false}, {"G", true}}));
}

TEST_F(vxi11_client, a_partly_accepted_write_is_resent_from_where_the_server_stopped) {
  std::vector<write_seen> seen;
  fake_server server([&](core_peer& peer) {
    peer.accept_link(1024);
    for (;;) {
      rpc_call call = peer.next_call();
      if (call.closed || call.proc != device_write) break;
      seen.push_back({call.opaque, (call.words[3] & flag_end) != 0});
      const auto taken = std::min<std::size_t>(call.opaque.size(), 3);  // a small input buffer
      peer.reply(call, xdr_u32(0) + xdr_u32(static_cast<std::uint32_t>(taken)));
      if (taken == call.opaque.size()) break;
    }
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  EXPECT_EQ(write("ABCDEFGH"), VI_SUCCESS);
  close();
  server.join();
  EXPECT_EQ(seen, (std::vector<write_seen>{{"ABCDEFGH", true}, {"DEFGH", true}, {"GH", true}}));
}

TEST_F(vxi11_client, read_reasons_become_end_termchar_and_count_statuses) {
  std::vector<rpc_call> reads;
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    auto next = [&] {
      reads.push_back(peer.next_call());
      return reads.back();
    };
    peer.reply(next(), read_results(0, reason_reqcnt, "0123"));   // count filled
    peer.reply(next(), read_results(0, reason_end, "45\n"));       // END
    peer.reply(next(), read_results(0, 0, "ab"));                  // server buffer full: ask again
    peer.reply(next(), read_results(0, reason_end, "cd\n"));
    peer.reply(next(), read_results(0, reason_chr, "x;"));         // the termination character
    peer.reply(next(), read_results(0, reason_end | reason_chr, "y;"));
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 4), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "0123");
  EXPECT_EQ(read(r, 4), VI_SUCCESS);
  EXPECT_EQ(r, "45\n");
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "abcd\n") << "one viRead gathers until END";
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, ';'), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, "x;");
  EXPECT_EQ(read(r, 100), VI_SUCCESS) << "END outranks the termination character";
  close();
  server.join();

  ASSERT_EQ(reads.size(), 6u);
  EXPECT_EQ(reads[3].words[1], 98u) << "the second request asks for what is still wanted";
  EXPECT_EQ(reads[3].words[4] & flag_termchrset, 0u);
  EXPECT_EQ(reads[4].words[4] & flag_termchrset, flag_termchrset);
  EXPECT_EQ(reads[4].words[5], std::uint32_t{';'});
}

TEST_F(vxi11_client, data_beyond_the_request_is_delivered_by_the_next_reads) {
  int reads = 0;
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call call = peer.next_call();
    ++reads;
    peer.reply(call, read_results(0, reason_end, "ABCDEFGHIJ\n"), 5);
    while (!(call = peer.next_call()).closed && call.proc != destroy_link) ++reads;
    if (!call.closed) peer.reply(call, xdr_u32(0));
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 4), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "ABCD");
  EXPECT_EQ(read(r, 4), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "EFGH");
  EXPECT_EQ(read(r, 4), VI_SUCCESS) << "END came with the last of the kept bytes";
  EXPECT_EQ(r, "IJ\n");
  close();
  server.join();
  EXPECT_EQ(reads, 1) << "kept bytes are not asked for again";
}

TEST_F(vxi11_client, device_errors_become_visa_statuses_with_the_bytes_kept) {
  std::uint32_t clear_proc = 0;
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    peer.reply(peer.next_call(), read_results(15, 0, "part"));  // the instrument timed out
    rpc_call write_call = peer.next_call();
    peer.reply(write_call, xdr_u32(17) + xdr_u32(2));  // I/O error after two bytes
    rpc_call clear = peer.next_call();
    clear_proc = clear.proc;
    peer.reply(clear, xdr_u32(0));
    peer.reply(peer.next_call(), read_results(0, reason_end, "ok\n"));
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "part");
  ViUInt32 sent = 99;
  EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>("ABCD"), 4, &sent), VI_ERROR_IO);
  EXPECT_EQ(sent, 2u);
  EXPECT_EQ(viClear(vi), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "ok\n");
  close();
  server.join();
  EXPECT_EQ(clear_proc, device_clear);
}

TEST_F(vxi11_client, create_link_errors_fail_the_open) {
  struct case_t {
    std::uint32_t error;
    ViStatus status;
  };
  for (const case_t c : {case_t{3, VI_ERROR_RSRC_NFOUND}, case_t{9, VI_ERROR_RSRC_BUSY},
                         case_t{11, VI_ERROR_RSRC_LOCKED}}) {
    SCOPED_TRACE(c.error);
    fake_server server([&](core_peer& peer) {
      rpc_call call = peer.next_call();
      peer.reply(call, xdr_u32(c.error) + xdr_u32(0) + xdr_u32(0) + xdr_u32(0));
      peer.next_call();  // the client hangs up
    });
    EXPECT_EQ(open(server), c.status);
  }
}

TEST_F(vxi11_client, open_fails_clearly_without_a_vxi11_server) {
  fake_server::options no_mapper, no_core, silent;
  no_mapper.mapper_listens = false;
  no_core.getport_answer = 0;
  silent.mapper_answers = false;
  {
    fake_server server([](core_peer&) {}, no_mapper);
    EXPECT_EQ(open(server), VI_ERROR_RSRC_NFOUND) << "nothing on port 111";
  }
  {
    fake_server server([](core_peer&) {}, no_core);
    EXPECT_EQ(open(server), VI_ERROR_RSRC_NFOUND) << "a port mapper without VXI-11";
  }
  {
    fake_server server([](core_peer&) {}, silent);
    const auto start = std::chrono::steady_clock::now();
    ViStatus status = viOpen(rm, server.resource().c_str(), VI_NULL, 300, &vi);
    EXPECT_EQ(status, VI_ERROR_TMO) << "a port mapper that never answers";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  }
}

TEST_F(vxi11_client, the_instruments_own_timeout_arrives_before_the_client_gives_up) {
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call call = peer.next_call();
    // Like an instrument: waits the io_timeout it was given, then reports what it has.
    std::this_thread::sleep_for(std::chrono::milliseconds(call.words[2]));
    peer.reply(call, read_results(15, 0, "abc"));
    peer.reply(peer.next_call(), read_results(0, reason_end, "next\n"));
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server, 300), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_EQ(r, "abc") << "the client stopped waiting before the instrument's answer";
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "next\n");
}

TEST_F(vxi11_client, after_giving_up_on_a_silent_server_the_late_answer_is_skipped) {
  gate timed_out;
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call late = peer.next_call();
    // Half of the reply, then silence until the client has given up.
    const std::string record = as_record(reply_body(late.xid, read_results(0, reason_end, "0123456789\n")));
    peer.send_raw(record.substr(0, 44));  // the reply's head and 4 data bytes
    timed_out.wait();
    peer.send_raw(record.substr(44));
    rpc_call next = peer.next_call();
    peer.reply(next, xdr_u32(0) + xdr_u32(static_cast<std::uint32_t>(next.opaque.size())));
    peer.reply(peer.next_call(), read_results(0, reason_end, "fresh\n"));
    expect_destroy(peer);
  });
  ASSERT_EQ(open(server, 200), VI_SUCCESS);
  std::string r;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_EQ(r, "0123") << "the data bytes that did arrive";
  timed_out.release();
  EXPECT_EQ(write("*IDN?\n"), VI_SUCCESS);
  EXPECT_EQ(read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "fresh\n");
}

TEST_F(vxi11_client, closing_after_giving_up_does_not_queue_behind_the_late_reply) {
  bool destroy_came = true;
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call call = peer.next_call();
    peer.send_raw(as_record(reply_body(call.xid, read_results(0, reason_end, "0123456789\n"))).substr(0, 44));
    destroy_came = !peer.next_call().closed;  // the client just hangs up
  });
  ASSERT_EQ(open(server, 200), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_TMO);
  close();
  server.join();
  EXPECT_FALSE(destroy_came) << "destroy_link would wait for the rest of a reply that may never come";
}

TEST_F(vxi11_client, a_garbled_reply_is_an_io_error_and_ends_the_connection) {
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call call = peer.next_call();
    peer.send_raw(as_record(xdr_u32(call.xid) + xdr_u32(7) + std::string(40, 'x')));
    peer.next_call();
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_IO);
  EXPECT_EQ(write("x"), VI_ERROR_CONN_LOST);
}

TEST_F(vxi11_client, a_server_that_hangs_up_mid_reply_is_conn_lost_with_the_bytes_kept) {
  fake_server server([&](core_peer& peer) {
    peer.accept_link();
    rpc_call call = peer.next_call();
    const std::string record = as_record(reply_body(call.xid, read_results(0, reason_end, "0123456789\n")));
    peer.send_raw(record.substr(0, 46));  // the reply's head and 6 data bytes
    ::shutdown(peer.fd(), SHUT_RDWR);
  });
  ASSERT_EQ(open(server), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(read(r, 100), VI_ERROR_CONN_LOST);
  EXPECT_EQ(r, "012345");
}

}  // namespace
}  // namespace kobrant::test
