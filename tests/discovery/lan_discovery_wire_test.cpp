// LAN discovery without a network: the GETPORT datagram and its reply check, the mDNS query
// and the strict response reader, and what discovery makes of the answers it is given.
#include "lan_discovery.h"
#include "mdns_wire.h"
#include "portmap_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kobrant::visa {
namespace {

using bytes = std::vector<std::byte>;

void put16(bytes& b, unsigned v) {
  b.push_back(std::byte(v >> 8 & 0xFF));
  b.push_back(std::byte(v & 0xFF));
}
void put32(bytes& b, std::uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}
std::uint32_t get32(const bytes& b, std::size_t at) { return vxi11::get_u32(b, at); }

// An accepted RPC reply: xid, REPLY, MSG_ACCEPTED, verifier, accept_stat, then the words.
bytes rpc_reply(std::uint32_t xid, std::uint32_t accept_stat, std::vector<std::uint32_t> words,
                std::uint32_t verifier_length = 0) {
  bytes b;
  for (std::uint32_t w : {xid, 1u, 0u, 0u, verifier_length}) put32(b, w);
  for (std::uint32_t i = 0; i < verifier_length; ++i) b.push_back(std::byte{0});
  put32(b, accept_stat);
  for (std::uint32_t w : words) put32(b, w);
  return b;
}

TEST(portmap_wire, getport_asks_the_port_mapper_for_the_vxi11_core_channel_over_tcp) {
  const auto call = portmap::getport_call(0xCAFE0001);
  const bytes b(call.begin(), call.end());
  const std::uint32_t want[] = {0xCAFE0001, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 395183, 1, 6, 0};
  ASSERT_EQ(b.size(), sizeof want);
  for (std::size_t i = 0; i < std::size(want); ++i) EXPECT_EQ(get32(b, 4 * i), want[i]) << "word " << i;
}

TEST(portmap_wire, only_an_accepted_reply_to_this_call_with_a_real_port_lists_an_instrument) {
  constexpr std::uint32_t xid = 77;
  bytes denied;
  for (std::uint32_t w : {xid, 1u, 1u, 0u, 2u, 2u}) put32(denied, w);
  bytes cut = rpc_reply(xid, 0, {1024});
  cut.resize(cut.size() - 1);
  const struct {
    const char* what;
    bytes datagram;
    portmap::answer kind;
    std::uint16_t port;
  } cases[] = {
      {"listed", rpc_reply(xid, 0, {1024}), portmap::answer::listed, 1024},
      {"highest port", rpc_reply(xid, 0, {65535}), portmap::answer::listed, 65535},
      {"verifier with a body", rpc_reply(xid, 0, {900}, 8), portmap::answer::listed, 900},
      {"port 0: a mapper without VXI-11", rpc_reply(xid, 0, {0}), portmap::answer::not_listed, 0},
      {"another call's reply", rpc_reply(xid + 1, 0, {1024}), portmap::answer::not_ours, 0},
      {"program unavailable", rpc_reply(xid, 1, {1024}), portmap::answer::not_ours, 0},
      {"denied", denied, portmap::answer::not_ours, 0},
      {"port out of range", rpc_reply(xid, 0, {65536}), portmap::answer::not_ours, 0},
      {"cut short", cut, portmap::answer::not_ours, 0},
      {"verifier too long", rpc_reply(xid, 0, {1024}, 404), portmap::answer::not_ours, 0},
      {"empty", {}, portmap::answer::not_ours, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto got = portmap::read_getport_reply(c.datagram, xid);
    EXPECT_EQ(got.kind, c.kind);
    EXPECT_EQ(got.port, c.port);
  }
}

// Builds DNS messages; names may end in a compression pointer.
struct dns {
  bytes b;
  dns(unsigned id, unsigned flags, unsigned qd, unsigned an, unsigned ar) {
    for (unsigned v : {id, flags, qd, an, 0u, ar}) put16(b, v);
  }
  dns& name(const std::string& dotted, int pointer = -1) {
    labels(dotted);
    if (pointer >= 0)
      put16(b, 0xC000 | static_cast<unsigned>(pointer));
    else
      b.push_back(std::byte{0});
    return *this;
  }
  dns& labels(const std::string& dotted) {
    std::size_t start = 0;
    while (start < dotted.size()) {
      std::size_t dot = dotted.find('.', start);
      if (dot == std::string::npos) dot = dotted.size();
      b.push_back(std::byte(dot - start));
      for (std::size_t i = start; i < dot; ++i) b.push_back(std::byte(dotted[i]));
      start = dot + 1;
    }
    return *this;
  }
  dns& head(unsigned type, std::uint32_t ttl, unsigned length) {
    put16(b, type);
    put16(b, 0x8001);
    put32(b, ttl);
    put16(b, length);
    return *this;
  }
  std::size_t here() const { return b.size(); }
};

// PTR _hislip._tcp.local -> scope._hislip..., SRV port 4881 -> scope.local, A 192.0.2.10;
// the later names point back at earlier ones, as responders write them.
dns good_response(unsigned id = 9, std::uint32_t ptr_ttl = 4500) {
  dns m(id, 0x8400, 0, 1, 2);
  const std::size_t service = m.here();
  m.name("_hislip._tcp.local").head(12, ptr_ttl, 8);
  const std::size_t instance = m.here();
  m.name("scope", static_cast<int>(service));
  m.name("", static_cast<int>(instance)).head(33, 120, 6 + 13);
  put16(m.b, 0);
  put16(m.b, 0);
  put16(m.b, 4881);
  const std::size_t host = m.here();
  m.name("scope.local");
  m.name("", static_cast<int>(host)).head(1, 120, 4);
  put32(m.b, 0xC000020A);
  return m;
}

TEST(mdns_wire, the_query_asks_every_service_type_for_a_unicast_answer) {
  const bytes q = mdns::browse_query(0x1234);
  EXPECT_EQ(q[0], std::byte{0x12});
  EXPECT_EQ(q[1], std::byte{0x34});
  EXPECT_EQ(vxi11::get_u32(q, 4) >> 16, 4u);  // four questions
  const std::string text(reinterpret_cast<const char*>(q.data()), q.size());
  for (const char* type : {"\x07_vxi-11", "\x07_hislip", "\x09_scpi-raw", "\x04_lxi"})
    EXPECT_NE(text.find(std::string(type) + "\x04_tcp\x05local"), std::string::npos) << type + 1;
  // Each question: PTR (12), class IN with the unicast-response bit.
  const std::string question_end("\x05local\0\0\x0c\x80\x01", 11);
  std::size_t count = 0;
  for (auto at = text.find(question_end); at != std::string::npos; at = text.find(question_end, at + 1)) ++count;
  EXPECT_EQ(count, 4u);
  EXPECT_FALSE(mdns::read_response(q)) << "a query is no response";
}

TEST(mdns_wire, a_response_chains_pointer_service_and_address_records) {
  const auto r = mdns::read_response(good_response().b);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->id, 9);
  ASSERT_EQ(r->services.size(), 1u);
  EXPECT_EQ(r->services[0].type, mdns::service::hislip);
  EXPECT_EQ(r->services[0].port, 4881);
  EXPECT_EQ(r->services[0].addresses, std::vector<std::uint32_t>{0xC000020A});
}

TEST(mdns_wire, broken_responses_are_ignored_whole) {
  const auto changed = [](auto edit) {
    bytes b = good_response().b;
    edit(b);
    return b;
  };
  dns self_loop(1, 0x8400, 0, 1, 0);
  self_loop.name("", 12).head(12, 120, 2);
  put16(self_loop.b, 0xC00C);
  dns forward(1, 0x8400, 0, 1, 0);
  forward.name("", 40).head(12, 120, 2);
  put16(forward.b, 0xC00C);
  dns long_name(1, 0x8400, 0, 1, 0);
  for (int i = 0; i < 5; ++i) long_name.labels(std::string(60, 'a'));
  long_name.name("").head(1, 120, 4);
  put32(long_name.b, 1);

  const struct {
    const char* what;
    bytes message;
  } cases[] = {
      {"a query", changed([](bytes& b) { b[2] = std::byte{0}; })},
      {"an error code", changed([](bytes& b) { b[3] = std::byte{0x03}; })},
      {"another opcode", changed([](bytes& b) { b[2] = std::byte{0xA4}; })},
      {"more records than the message holds", changed([](bytes& b) { b[11] = std::byte{3}; })},
      {"questions the message does not hold", changed([](bytes& b) { b[4] = std::byte{0xFF}; })},
      {"cut inside the last record", changed([](bytes& b) { b.pop_back(); })},
      {"an address of five bytes", changed([](bytes& b) {
         b[b.size() - 5] = std::byte{5};
         b.push_back(std::byte{0});
       })},
      {"a pointer to itself", self_loop.b},
      {"a pointer forward", forward.b},
      {"a name over 255 bytes", long_name.b},
      {"a label running past the end", bytes{std::byte{0}, std::byte{1}, std::byte{0x84}, std::byte{0}, std::byte{0},
                                             std::byte{0}, std::byte{0}, std::byte{1}, std::byte{0}, std::byte{0},
                                             std::byte{0}, std::byte{0}, std::byte{9}, std::byte{'a'}}},
      {"shorter than a header", bytes(11)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_FALSE(mdns::read_response(c.message));
  }
}

TEST(mdns_wire, what_cannot_be_followed_to_a_port_is_left_out) {
  // A withdrawn (TTL 0) pointer, and one whose instance has no SRV record.
  auto withdrawn = mdns::read_response(good_response(9, 0).b);
  ASSERT_TRUE(withdrawn);
  EXPECT_TRUE(withdrawn->services.empty());
  dns lone(1, 0x8400, 0, 1, 0);
  lone.name("_scpi-raw._tcp.local").head(12, 120, 8);
  lone.name("meter", 12);
  const auto r = mdns::read_response(lone.b);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->services.empty());
  // Names compare without regard to case.
  dns upper(1, 0x8400, 0, 1, 1);
  upper.name("_SCPI-RAW._TCP.LOCAL").head(12, 120, 8);
  upper.name("meter", 12);
  upper.name("METER._scpi-raw._tcp.local").head(33, 120, 6 + 9);
  for (unsigned v : {0u, 0u, 5025u}) put16(upper.b, v);
  upper.name("m.local");
  const auto u = mdns::read_response(upper.b);
  ASSERT_TRUE(u);
  ASSERT_EQ(u->services.size(), 1u);
  EXPECT_EQ(u->services[0].port, 5025);
  EXPECT_TRUE(u->services[0].addresses.empty());
}

constexpr ipv4 ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(lan_answers, only_checked_answers_count_and_each_service_is_listed_once_in_address_order) {
  lan_interface on;
  on.address = ip(192, 0, 2, 1);
  on.netmask = ip(255, 255, 255, 0);
  lan_answers answers;
  const auto portmap_from = [&](ipv4 sender, std::uint32_t xid, std::uint32_t port) {
    answers.take_portmap(rpc_reply(xid, 0, {port}), 5, {sender, 111}, on);
  };
  portmap_from(ip(192, 0, 2, 10), 5, 700);
  portmap_from(ip(192, 0, 2, 10), 5, 700);   // the answer to the second broadcast
  portmap_from(ip(192, 0, 2, 9), 5, 700);
  portmap_from(ip(192, 0, 2, 8), 6, 700);    // another call's
  portmap_from(ip(192, 0, 2, 7), 5, 0);      // no VXI-11 there
  portmap_from(ip(203, 0, 113, 9), 5, 700);  // off-link

  answers.take_mdns(good_response(9).b, 9, {ip(192, 0, 2, 10), 5353}, on);
  answers.take_mdns(good_response(9).b, std::nullopt, {ip(192, 0, 2, 10), 5353}, on);  // caught multicast
  answers.take_mdns(good_response(8).b, 9, {ip(192, 0, 2, 20), 5353}, on);             // another query's
  answers.take_mdns(good_response(9).b, 9, {ip(192, 0, 2, 21), 5354}, on);             // not the mDNS port
  answers.take_mdns(good_response(9).b, 9, {ip(203, 0, 113, 9), 5353}, on);            // off-link
  // The A record lies off this link: the sender's own address is taken.
  lan_interface other = on;
  other.address = ip(198, 51, 100, 1);
  answers.take_mdns(good_response(9).b, 9, {ip(198, 51, 100, 2), 5353}, other);

  const std::vector<lan_service> want = {
      {ip(192, 0, 2, 9), lan_protocol::vxi11, 0},
      {ip(192, 0, 2, 10), lan_protocol::hislip, 4881},
      {ip(192, 0, 2, 10), lan_protocol::vxi11, 0},
      {ip(198, 51, 100, 2), lan_protocol::hislip, 4881},
  };
  EXPECT_EQ(answers.take_all(), want);
}

TEST(lan_discovery, the_window_setting) {
  const struct {
    const char* setting;
    unsigned ms;
  } cases[] = {{nullptr, 1000}, {"", 1000}, {"0", 0}, {"250", 250}, {"3000", 3000}, {"3001", 3000},
               {"99999999999999999999", 3000}, {"fast", 1000}, {"-5", 1000}, {"500ms", 1000}};
  for (const auto& c : cases) EXPECT_EQ(discovery_window_ms(c.setting), c.ms) << (c.setting ? c.setting : "unset");
}

}  // namespace
}  // namespace kobrant::visa
