// The USBTMC/USB488 device model on its own: framing of what it sends, the host-side checks it
// makes, the abort, clear and status-byte sequences, and each quirk and failure it can show.
// No emulation: these run wherever the suite runs.
#include "usbtmc_device.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

namespace kobrant::test {
namespace {

constexpr std::uint8_t bulk_out_ep = 0x01;
constexpr std::uint8_t bulk_in_ep = 0x82;

// A well-behaved host, just enough to drive the model: it numbers its messages 1, 2, ...
struct host {
  usbtmc_device& device;
  std::uint8_t btag = 0;

  std::uint8_t next_btag() { return btag = btag == 255 ? 1 : static_cast<std::uint8_t>(btag + 1); }

  static std::vector<std::byte> header(std::uint8_t msg_id, std::uint8_t tag, std::uint32_t size,
                                       std::uint8_t attributes, std::uint8_t term_char = 0) {
    return usbtmc_out_header(msg_id, tag, size, attributes, term_char);
  }

  usb_result write(std::string_view text, bool eom = true) {
    auto t = header(1, next_btag(), static_cast<std::uint32_t>(text.size()), eom ? 1 : 0);
    for (const char c : text) t.push_back(static_cast<std::byte>(c));
    while (t.size() % 4 != 0) t.push_back(std::byte{0});
    return device.bulk_out(t);
  }

  usb_result request(std::uint32_t size, std::optional<char> term_char = std::nullopt) {
    const auto t = header(2, next_btag(), size, term_char ? 2 : 0,
                          static_cast<std::uint8_t>(term_char.value_or(0)));
    return device.bulk_out(t);
  }

  // One Bulk-IN transfer of space bytes.
  std::pair<usb_result, std::vector<std::byte>> read_in(std::size_t space) {
    std::vector<std::byte> buffer(space);
    const auto r = device.bulk_in(buffer);
    buffer.resize(r.length);
    return {r, buffer};
  }

  std::vector<std::byte> control_in(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                                    std::uint16_t index, std::uint16_t length) {
    std::vector<std::byte> data(length);
    const auto r = device.control({type, request, value, index, length}, data);
    data.resize(r.status == usb_status::done ? r.length : 0);
    return data;
  }
};

std::uint32_t size_of(const std::vector<std::byte>& transfer) {
  return std::to_integer<std::uint32_t>(transfer[4]) | std::to_integer<std::uint32_t>(transfer[5]) << 8 |
         std::to_integer<std::uint32_t>(transfer[6]) << 16 | std::to_integer<std::uint32_t>(transfer[7]) << 24;
}

std::string data_of(const std::vector<std::byte>& transfer) {
  return std::string(reinterpret_cast<const char*>(transfer.data()) + 12, size_of(transfer));
}

std::uint8_t at(const std::vector<std::byte>& bytes, std::size_t i) { return std::to_integer<std::uint8_t>(bytes[i]); }

class usbtmc_device_test : public ::testing::Test {
 protected:
  usbtmc_device device;
  host h{device};

  void expect_clean() { EXPECT_EQ(device.violations(), std::vector<std::string>{}); }
};

TEST_F(usbtmc_device_test, answers_a_query_in_one_transfer_with_header_eom_and_padding) {
  ASSERT_EQ(h.write("*IDN?\n").status, usb_status::done);
  ASSERT_EQ(h.request(1000).status, usb_status::done);
  const auto [r, t] = h.read_in(1024);
  ASSERT_EQ(r.status, usb_status::done);
  ASSERT_EQ(t.size(), 32u);  // 12 + 20 data, already a multiple of 4
  EXPECT_EQ(at(t, 0), 2);
  EXPECT_EQ(at(t, 1), 2);  // the request's bTag
  EXPECT_EQ(at(t, 2), 0xFD);
  EXPECT_EQ(at(t, 8), 1);  // EOM
  EXPECT_EQ(data_of(t), "KOBRANT,SIM-1,0,1.0\n");
  ASSERT_EQ(device.messages().size(), 1u);
  EXPECT_EQ(device.messages()[0].bytes, "*IDN?\n");
  EXPECT_TRUE(device.messages()[0].end);
  expect_clean();
}

TEST_F(usbtmc_device_test, long_answer_comes_in_one_transfer_per_request_with_eom_on_the_last) {
  h.write("BLOCK? 2000\n");
  std::string all;
  std::vector<int> eoms;
  for (int i = 0; i < 3; ++i) {
    h.request(900);
    const auto [r, t] = h.read_in(1024);
    ASSERT_EQ(r.status, usb_status::done);
    EXPECT_LE(size_of(t), 900u);
    all += data_of(t);
    eoms.push_back(at(t, 8) & 1);
  }
  EXPECT_EQ(eoms, (std::vector<int>{0, 0, 1}));
  ASSERT_EQ(all.size(), 6u + 2000u + 1u);
  EXPECT_EQ(all.substr(0, 6), "#42000");
  for (std::size_t i = 0; i < 2000; ++i) ASSERT_EQ(static_cast<unsigned char>(all[6 + i]), i % 256) << i;
  EXPECT_EQ(all.back(), '\n');
  expect_clean();
}

TEST_F(usbtmc_device_test, message_sent_in_pieces_is_answered_once_eom_arrives) {
  h.write("ECHO? ab", false);
  h.write("cd\n", true);
  ASSERT_EQ(device.messages().size(), 1u);
  EXPECT_EQ(device.messages()[0].bytes, "ECHO? abcd\n");
  h.request(100);
  const auto [r, t] = h.read_in(512);
  EXPECT_EQ(data_of(t), "abcd\n");
  const auto transfers = device.out_transfers();
  ASSERT_EQ(transfers.size(), 3u);
  EXPECT_EQ(transfers[0].attributes, 0);
  EXPECT_EQ(transfers[1].attributes, 1);
  expect_clean();
}

TEST_F(usbtmc_device_test, btag_wraps_from_255_to_1_without_complaint) {
  h.btag = 253;
  for (int i = 0; i < 4; ++i) h.write("STATUS 0\n");
  EXPECT_EQ(h.btag, 2);
  expect_clean();
}

// Each breach of the protocol by the host is recorded, named so a failing test says which.
struct host_fault {
  const char* name;
  std::function<void(host&, usbtmc_device&)> act;
  const char* recorded;
  friend void PrintTo(const host_fault& f, std::ostream* os) { *os << f.name; }
};

class usbtmc_host_faults : public ::testing::TestWithParam<host_fault> {};

TEST_P(usbtmc_host_faults, are_recorded) {
  usbtmc_device device;
  host h{device};
  GetParam().act(h, device);
  const auto v = device.violations();
  ASSERT_FALSE(v.empty()) << "nothing recorded";
  EXPECT_NE(v.front().find(GetParam().recorded), std::string::npos) << v.front();
}

std::vector<std::byte> raw_out(std::uint8_t msg_id, std::uint8_t tag, std::uint8_t inverse, std::string_view data,
                               bool pad = true) {
  auto t = host::header(msg_id, tag, static_cast<std::uint32_t>(data.size()), 1);
  t[2] = std::byte{inverse};
  for (const char c : data) t.push_back(static_cast<std::byte>(c));
  while (pad && t.size() % 4 != 0) t.push_back(std::byte{0});
  return t;
}

INSTANTIATE_TEST_SUITE_P(
    each, usbtmc_host_faults,
    ::testing::Values(
        host_fault{"bad_inverse", [](host&, usbtmc_device& d) { d.bulk_out(raw_out(1, 5, 0x00, "*IDN?\n")); },
                   "not the inverse"},
        host_fault{"btag_zero", [](host&, usbtmc_device& d) { d.bulk_out(raw_out(1, 0, 0xFF, "*IDN?\n")); }, "bTag 0"},
        host_fault{"btag_skips",
                   [](host& h, usbtmc_device&) {
                     h.write("STATUS 0\n");
                     h.btag = 7;
                     h.write("STATUS 0\n");
                   },
                   "expected 2"},
        host_fault{"no_padding", [](host&, usbtmc_device& d) { d.bulk_out(raw_out(1, 1, 0xFE, "*IDN?\n", false)); },
                   "multiple of 4"},
        host_fault{"empty_message", [](host&, usbtmc_device& d) { d.bulk_out(raw_out(1, 1, 0xFE, "")); },
                   "TransferSize 0"},
        host_fault{"request_twice",
                   [](host& h, usbtmc_device&) {
                     h.write("SILENT?\n");
                     h.request(100);
                     h.request(100);
                   },
                   "still being answered"},
        host_fault{"in_buffer_not_packets",
                   [](host& h, usbtmc_device&) {
                     h.write("*IDN?\n");
                     h.request(100);
                     h.read_in(100);
                   },
                   "not a multiple of wMaxPacketSize"},
        host_fault{"configuration_again", [](host&, usbtmc_device& d) { d.set_configuration(1); }, "already active"},
        host_fault{"needless_alt_setting", [](host&, usbtmc_device& d) { d.set_interface(0, 0); },
                   "single alternate setting"},
        host_fault{"reset", [](host&, usbtmc_device& d) { d.reset_device(); }, "reset"},
        host_fault{"status_byte_btag", [](host& h, usbtmc_device&) { h.control_in(0xA1, 128, 1, 0, 3); },
                   "outside 2..127"},
        host_fault{"check_without_initiate", [](host& h, usbtmc_device&) { h.control_in(0xA2, 4, 0, 0x82, 8); },
                   "without INITIATE"},
        host_fault{"abort_to_wrong_endpoint", [](host& h, usbtmc_device&) { h.control_in(0xA2, 3, 1, 0x01, 2); },
                   "wIndex"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(usbtmc_device_test, term_char_ends_a_transfer_and_is_flagged) {
  h.write("ECHO? a\nb\n");
  h.request(100, '\n');
  const auto [r, t] = h.read_in(512);
  EXPECT_EQ(data_of(t), "a\n");
  EXPECT_EQ(at(t, 8), 2);  // TermChar, no EOM
  h.request(100, '\n');
  const auto [r2, t2] = h.read_in(512);
  EXPECT_EQ(data_of(t2), "b\n");
  EXPECT_EQ(at(t2, 8), 3);
  expect_clean();
}

TEST_F(usbtmc_device_test, transfer_of_whole_packets_ends_with_a_zero_length_packet) {
  h.write("TEXT? 499\n");  // 12 + 499 + newline = 512 bytes: one full packet
  h.request(1000);
  const auto [r, t] = h.read_in(512);
  EXPECT_EQ(r.status, usb_status::done);
  EXPECT_EQ(t.size(), 512u);
  const auto [zlp, rest] = h.read_in(512);  // the ZLP completes the host's next transfer, empty
  EXPECT_EQ(zlp.status, usb_status::done);
  EXPECT_EQ(zlp.length, 0u);
  // A larger host buffer takes the ZLP in the same transfer.
  h.write("TEXT? 499\n");
  h.request(1000);
  EXPECT_EQ(h.read_in(1024).first.length, 512u);
  EXPECT_EQ(h.read_in(512).first.status, usb_status::pending);
  expect_clean();
}

// Quirks: what the host sees of one answer, transfer by transfer.
TEST_F(usbtmc_device_test, quirks_bend_the_framing_as_named) {
  {
    usbtmc_device d;
    d.set_quirks(quirk_split_header);
    host q{d};
    q.write("*IDN?\n");
    q.request(100);
    EXPECT_EQ(q.read_in(512).second.size(), 12u);
    EXPECT_EQ(q.read_in(512).second.size(), 20u);
  }
  {
    usbtmc_device d;
    d.set_quirks(quirk_no_zlp);
    host q{d};
    q.write("TEXT? 499\n");
    q.request(1000);
    const auto [r, t] = q.read_in(1024);
    EXPECT_EQ(r.status, usb_status::pending);  // the host's transfer waits for a ZLP that never comes
    EXPECT_EQ(r.length, 512u);
  }
  {
    usbtmc_device d;
    d.set_quirks(quirk_eom_every_transfer | quirk_wrong_btag_continuation);
    host q{d};
    q.write("TEXT? 100\n");
    q.request(50);
    const auto first = q.read_in(512).second;
    q.request(100);
    const auto second = q.read_in(512).second;
    EXPECT_EQ(at(first, 8) & 1, 1);    // EOM though 51 bytes remain
    EXPECT_EQ(at(second, 1), at(first, 1));  // the first request's bTag again
    EXPECT_NE(at(second, 1), q.btag);
  }
  {
    usbtmc_device d;
    d.set_quirks(quirk_more_than_asked);
    host q{d};
    q.write("TEXT? 100\n");
    q.request(10);
    EXPECT_GT(size_of(q.read_in(512).second), 10u);
  }
}

TEST_F(usbtmc_device_test, abort_bulk_in_of_an_unanswered_request_ends_it_with_a_short_packet) {
  h.write("SILENT?\n");
  h.request(100);
  EXPECT_EQ(h.read_in(512).first.status, usb_status::pending);
  EXPECT_EQ(at(h.control_in(0xA2, 3, h.btag + 1, bulk_in_ep, 2), 0), 0x81);  // not this bTag
  const auto init = h.control_in(0xA2, 3, h.btag, bulk_in_ep, 2);
  ASSERT_EQ(at(init, 0), 0x01);
  EXPECT_EQ(at(h.control_in(0xA2, 4, 0, bulk_in_ep, 8), 0), 0x02);  // ZLP still queued
  const auto [drain, bytes] = h.read_in(512);
  EXPECT_EQ(drain.status, usb_status::done);
  EXPECT_EQ(drain.length, 0u);
  EXPECT_EQ(at(h.control_in(0xA2, 4, 0, bulk_in_ep, 8), 0), 0x01);
  EXPECT_EQ(at(h.control_in(0xA2, 3, h.btag, bulk_in_ep, 2), 0), 0x80);  // nothing in progress now
  h.write("*IDN?\n");
  h.request(100);
  EXPECT_EQ(data_of(h.read_in(512).second), "KOBRANT,SIM-1,0,1.0\n");
  expect_clean();
}

TEST_F(usbtmc_device_test, abort_bulk_in_mid_answer_drains_one_packet_and_drops_the_rest) {
  h.write("BLOCK? 5000\n");
  h.request(5000);
  EXPECT_EQ(h.read_in(512).first.length, 512u);
  ASSERT_EQ(at(h.control_in(0xA2, 3, h.btag, bulk_in_ep, 2), 0), 0x01);
  const auto [drain, bytes] = h.read_in(1024);
  EXPECT_EQ(drain.status, usb_status::done);
  EXPECT_LE(drain.length, 512u);
  const auto check = h.control_in(0xA2, 4, 0, bulk_in_ep, 8);
  EXPECT_EQ(at(check, 0), 0x01);
  EXPECT_EQ(at(check, 4) | at(check, 5) << 8, 512);
  h.write("*IDN?\n");
  h.request(100);
  EXPECT_EQ(data_of(h.read_in(512).second), "KOBRANT,SIM-1,0,1.0\n");
  expect_clean();
}

TEST_F(usbtmc_device_test, abort_bulk_out_of_a_refused_message_then_halt_clear_restores_writes) {
  usb_failures f;
  f.mute_out = true;
  f.pending_checks = 1;
  device.set_failures(f);
  EXPECT_EQ(h.write("*IDN?\n").status, usb_status::pending);
  ASSERT_EQ(at(h.control_in(0xA2, 1, h.btag, bulk_out_ep, 2), 0), 0x01);
  EXPECT_EQ(at(h.control_in(0xA2, 2, 0, bulk_out_ep, 8), 0), 0x02);
  EXPECT_EQ(at(h.control_in(0xA2, 2, 0, bulk_out_ep, 8), 0), 0x01);
  device.clear_halt(bulk_out_ep);
  EXPECT_EQ(h.write("*IDN?\n").status, usb_status::done);
  h.request(100);
  EXPECT_EQ(data_of(h.read_in(512).second), "KOBRANT,SIM-1,0,1.0\n");
  expect_clean();
}

TEST_F(usbtmc_device_test, writing_after_an_abort_without_clearing_the_halt_is_recorded) {
  usb_failures f;
  f.mute_out = true;
  device.set_failures(f);
  h.write("*IDN?\n");
  h.control_in(0xA2, 1, h.btag, bulk_out_ep, 2);
  h.control_in(0xA2, 2, 0, bulk_out_ep, 8);
  h.write("*IDN?\n");
  ASSERT_EQ(device.violations().size(), 1u);
  EXPECT_NE(device.violations()[0].find("without clearing its halt"), std::string::npos);
}

TEST_F(usbtmc_device_test, device_clear_discards_the_unread_answer) {
  device.set_failures({.pending_checks = 2});
  h.write("*IDN?\n");
  ASSERT_EQ(at(h.control_in(0xA1, 5, 0, 0, 1), 0), 0x01);
  EXPECT_EQ(at(h.control_in(0xA1, 6, 0, 0, 2), 0), 0x02);
  EXPECT_EQ(at(h.control_in(0xA1, 6, 0, 0, 2), 0), 0x02);
  EXPECT_EQ(at(h.control_in(0xA1, 6, 0, 0, 2), 0), 0x01);
  device.clear_halt(bulk_out_ep);
  h.request(100);
  EXPECT_EQ(h.read_in(512).first.status, usb_status::pending);
  EXPECT_EQ(device.class_requests(6), 3u);
  expect_clean();
}

TEST_F(usbtmc_device_test, capabilities_report_usb488_and_term_char) {
  const auto caps = h.control_in(0xA1, 7, 0, 0, 0x18);
  ASSERT_EQ(caps.size(), 0x18u);
  EXPECT_EQ(at(caps, 0), 0x01);
  EXPECT_EQ(at(caps, 2) | at(caps, 3) << 8, 0x0100);
  EXPECT_EQ(at(caps, 5) & 1, 1);
  EXPECT_EQ(at(caps, 14) & 4, 4);
  expect_clean();
}

TEST(usbtmc_status_byte, comes_on_the_interrupt_endpoint_when_there_is_one_else_in_the_reply) {
  for (const std::uint8_t interrupt_ep : {std::uint8_t{0x83}, std::uint8_t{0}}) {
    SCOPED_TRACE(interrupt_ep);
    usbtmc_device device({.interrupt_in = interrupt_ep});
    host h{device};
    h.write("STATUS 4\n");
    h.write("*IDN?\n");  // an answer waits: MAV
    const auto reply = h.control_in(0xA1, 128, 5, 0, 3);
    ASSERT_EQ(reply.size(), 3u);
    EXPECT_EQ(at(reply, 0), 0x01);
    EXPECT_EQ(at(reply, 1), 5);
    std::vector<std::byte> note(2);
    const auto r = device.interrupt_in(note);
    if (interrupt_ep != 0) {
      EXPECT_EQ(at(reply, 2), 0);
      ASSERT_EQ(r.status, usb_status::done);
      EXPECT_EQ(at(note, 0), 0x85);
      EXPECT_EQ(at(note, 1), 0x14);
    } else {
      EXPECT_EQ(at(reply, 2), 0x14);
    }
    EXPECT_EQ(device.violations(), std::vector<std::string>{});
  }
}

TEST_F(usbtmc_device_test, stalled_bulk_in_stays_halted_until_cleared) {
  device.set_failures({.stall_bulk_in = true});
  h.write("*IDN?\n");
  h.request(100);
  EXPECT_EQ(h.read_in(512).first.status, usb_status::stall);
  EXPECT_EQ(h.read_in(512).first.status, usb_status::stall);
  device.clear_halt(bulk_in_ep);
  EXPECT_EQ(device.halts_cleared(bulk_in_ep), 1u);
  h.write("*IDN?\n");
  h.request(100);
  EXPECT_EQ(data_of(h.read_in(512).second), "KOBRANT,SIM-1,0,1.0\n");
}

TEST_F(usbtmc_device_test, failures_mute_late_and_unplug) {
  {
    usbtmc_device d;
    d.set_failures({.mute = true});
    host q{d};
    q.write("*IDN?\n");
    q.request(100);
    EXPECT_EQ(q.read_in(512).first.status, usb_status::pending);
  }
  {
    usbtmc_device d;
    d.set_failures({.late_answer = std::chrono::milliseconds(30)});
    host q{d};
    q.write("*IDN?\n");
    q.request(100);
    EXPECT_EQ(q.read_in(512).first.status, usb_status::pending);
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(q.read_in(512).first.status, usb_status::done);
  }
  {
    usbtmc_device d;
    d.set_failures({.unplug_after = 1024});
    host q{d};
    q.write("BLOCK? 4000\n");
    q.request(4000);
    const auto [r, t] = q.read_in(4096);
    EXPECT_EQ(r.status, usb_status::gone);
    EXPECT_EQ(r.length, 1024u);  // the bytes that arrived before it vanished
    EXPECT_TRUE(d.unplugged());
    EXPECT_EQ(q.write("*IDN?\n").status, usb_status::gone);
  }
}

TEST(usbtmc_descriptors, describe_the_identity) {
  for (const bool serial : {true, false}) {
    usbtmc_device device({.serial = serial ? "SN1" : "", .interrupt_in = 0x83});
    const auto d = device.descriptors();
    ASSERT_GE(d.size(), 18u + 9u);
    EXPECT_EQ(d[0], 18);
    EXPECT_EQ(d[8] | d[9] << 8, 0x1234);
    EXPECT_EQ(d[10] | d[11] << 8, 0x5678);
    EXPECT_EQ(d[16], serial ? 3 : 0);
    const std::size_t total = d[18 + 2] | d[18 + 3] << 8;
    EXPECT_EQ(d.size(), 18u + total);
    EXPECT_EQ(total, 9u + 9u + 3u * 7u);
    EXPECT_EQ(d[27 + 5], 0xFE);  // interface class, subclass, protocol
    EXPECT_EQ(d[27 + 6], 0x03);
    EXPECT_EQ(d[27 + 7], 0x01);
  }
}

}  // namespace
}  // namespace kobrant::test
