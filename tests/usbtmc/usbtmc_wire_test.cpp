// USBTMC framing on bytes alone: the Bulk-OUT headers, the Bulk-IN header check, how one device
// transfer is followed across USB transfers, the class request setups and replies, and the
// abort and clear sequences driven by scripted device answers.
#include "usbtmc_wire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kobrant::visa::usbtmc {
namespace {

std::vector<std::byte> bytes(std::initializer_list<unsigned> values) {
  std::vector<std::byte> out;
  for (unsigned v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

std::vector<unsigned> values(std::span<const std::byte> b) {
  std::vector<unsigned> out;
  for (std::byte v : b) out.push_back(std::to_integer<unsigned>(v));
  return out;
}

TEST(usbtmc_bulk_out, headers_carry_tag_inverse_size_and_attributes) {
  EXPECT_EQ(values(dev_dep_msg_out(1, 0x01020304, true)),
            (std::vector<unsigned>{1, 1, 0xFE, 0, 4, 3, 2, 1, 1, 0, 0, 0}));
  EXPECT_EQ(values(dev_dep_msg_out(0x80, 5, false)),
            (std::vector<unsigned>{1, 0x80, 0x7F, 0, 5, 0, 0, 0, 0, 0, 0, 0}));
  // TermChar goes out only when the caller has one to give (the device supports it).
  EXPECT_EQ(values(request_dev_dep_msg_in(7, 1000, std::nullopt)),
            (std::vector<unsigned>{2, 7, 0xF8, 0, 0xE8, 3, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(values(request_dev_dep_msg_in(255, 0xFFFFFFFF, '\n')),
            (std::vector<unsigned>{2, 255, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, '\n', 0, 0}));
  EXPECT_EQ(values(trigger(9)), (std::vector<unsigned>{128, 9, 0xF6, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(usbtmc_bulk_out, tags_run_from_one_to_255_and_skip_zero) {
  std::uint8_t tag = 1;
  for (int i = 0; i < 600; ++i) {
    const std::uint8_t next = next_tag(tag);
    EXPECT_NE(next, 0);
    EXPECT_EQ(next, tag == 255 ? 1 : tag + 1);
    tag = next;
  }
  EXPECT_EQ(next_stb_tag(127), 2);
  EXPECT_EQ(next_stb_tag(0), 2);
  EXPECT_EQ(next_stb_tag(2), 3);
}

TEST(usbtmc_bulk_out, alignment_pads_to_four) {
  const std::size_t expected[] = {0, 3, 2, 1, 0, 3};
  for (std::size_t n = 0; n < 6; ++n) EXPECT_EQ(alignment_padding(n), expected[n]) << n;
}

TEST(usbtmc_bulk_in, header_checks) {
  struct row {
    const char* what;
    std::vector<std::byte> header;
    std::uint8_t expected, tolerated;
    in_check check;
    in_header parsed;
  };
  const row rows[] = {
      {"ok with EOM", bytes({2, 5, 0xFA, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::ok, {5, 3, true, false}},
      {"termchar bit", bytes({2, 5, 0xFA, 0, 3, 0, 0, 0, 2, 0, 0, 0}), 5, 0, in_check::ok, {5, 3, false, true}},
      {"size is little-endian", bytes({2, 5, 0xFA, 0, 1, 2, 3, 4, 0, 0, 0, 0}), 5, 0, in_check::ok,
       {5, 0x04030201, false, false}},
      {"short", bytes({2, 5, 0xFA, 0, 3, 0, 0, 0, 1, 0, 0}), 5, 0, in_check::too_short, {}},
      {"msg id", bytes({1, 5, 0xFA, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::wrong_msg_id, {}},
      {"inverse", bytes({2, 5, 0xFB, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::bad_inverse, {}},
      {"other tag", bytes({2, 4, 0xFB, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::wrong_tag, {}},
      {"earlier tag tolerated", bytes({2, 4, 0xFB, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 4, in_check::ok,
       {4, 3, true, false}},
      {"zero tolerated tag means none", bytes({2, 0, 0xFF, 0, 3, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::wrong_tag,
       {}},
      {"nothing and no EOM", bytes({2, 5, 0xFA, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 5, 0, in_check::empty,
       {5, 0, false, false}},
      {"empty message ends", bytes({2, 5, 0xFA, 0, 0, 0, 0, 0, 1, 0, 0, 0}), 5, 0, in_check::ok, {5, 0, true, false}},
  };
  for (const row& r : rows) {
    in_header h;
    EXPECT_EQ(parse_in_header(r.header, r.expected, r.tolerated, h), r.check) << r.what;
    if (r.check == in_check::ok || r.check == in_check::empty) {
      EXPECT_EQ(h, r.parsed) << r.what;
    }
  }
}

// One device transfer of size data bytes, arriving in USB transfers as the device cuts it:
// what each piece delivers, and the read the host asks for next.
TEST(usbtmc_bulk_in, follows_one_transfer_across_pieces) {
  struct row {
    const char* what;
    std::uint32_t size;
    std::vector<std::size_t> pieces;  // bytes of each USB transfer, the first holds the header
    std::vector<std::size_t> data;    // data bytes each delivers
    std::vector<std::size_t> reads;   // next_read after each piece (packet 512, limit 4096)
  };
  const row rows[] = {
      {"all in one short packet", 5, {20}, {5}, {0}},
      {"header alone, then data", 1000, {12, 1000}, {0, 1000}, {1024, 0}},
      {"exact packets, no zero-length packet needed", 1012, {512, 512}, {500, 512}, {512, 0}},
      {"long transfer is read in capped pieces", 10000, {512, 4096, 4096, 1308},
       {500, 4096, 4096, 1308}, {4096, 4096, 1536, 0}},
      {"device sends more than its header says", 4, {512}, {4}, {0}},
  };
  for (const row& r : rows) {
    in_header h{1, r.size, true, false};
    in_transfer t(h, r.pieces[0]);
    std::vector<std::size_t> data = {t.first_length()};
    std::vector<std::size_t> reads = {t.next_read(512, 4096)};
    for (std::size_t i = 1; i < r.pieces.size(); ++i) {
      data.push_back(t.take(r.pieces[i]));
      reads.push_back(t.next_read(512, 4096));
    }
    EXPECT_EQ(data, r.data) << r.what;
    EXPECT_EQ(t.data_left(), 0u) << r.what;
    EXPECT_EQ(reads, r.reads) << r.what;
  }
  // Without its padding the data is complete: the host must not wait for the three bytes.
  in_transfer t({1, 5, true, false}, 17);
  EXPECT_EQ(t.data_left(), 0u);
  EXPECT_EQ(t.bytes_left(), 3u);
}

// The first read of a reply holds all of a reply that fits, with the packet that ends it.
TEST(usbtmc_in, first_read_takes_a_fitting_reply_and_its_end) {
  struct row {
    std::uint32_t requested;
    std::size_t expected;  // packet 512, limit 4096
  };
  const row rows[] = {
      {1, 512},          // 12 + 1 + 3 alignment: one short packet
      {496, 512},        // 12 + 496 = 508
      {500, 1024},       // 512 exactly: the zero-length packet needs a packet of room
      {1012, 1536},      // 1024 exactly
      {1013, 1536},      // 12 + 1013 + 3 = 1028
      {4084, 4096},      // 4096 exactly, but the limit caps it
      {100000, 4096},    // longer than the limit
      {0xFFFFFFFF, 4096},  // the largest request does not overflow
  };
  for (const row& r : rows) EXPECT_EQ(first_read_length(r.requested, 512, 4096), r.expected) << r.requested;
  EXPECT_EQ(first_read_length(52, 64, 4096), 128u);  // full-speed packets: 64 exactly
}

TEST(usbtmc_control, request_setups) {
  struct row {
    request r;
    std::uint16_t value;
    control_setup expected;
  };
  const row rows[] = {
      {request::initiate_abort_bulk_out, 7, {0xA2, 1, 7, 0x01, 2}},
      {request::check_abort_bulk_out_status, 0, {0xA2, 2, 0, 0x01, 8}},
      {request::initiate_abort_bulk_in, 9, {0xA2, 3, 9, 0x82, 2}},
      {request::check_abort_bulk_in_status, 0, {0xA2, 4, 0, 0x82, 8}},
      {request::initiate_clear, 0, {0xA1, 5, 0, 3, 1}},
      {request::check_clear_status, 0, {0xA1, 6, 0, 3, 2}},
      {request::get_capabilities, 0, {0xA1, 7, 0, 3, 0x18}},
      {request::read_status_byte, 2, {0xA1, 128, 2, 3, 3}},
  };
  for (const row& r : rows) {
    const std::uint8_t endpoint = r.expected.request_type == to_endpoint ? static_cast<std::uint8_t>(r.expected.index) : 0;
    EXPECT_EQ(setup_for(r.r, 3, endpoint, r.value), r.expected) << int(r.r);
  }
}

TEST(usbtmc_control, capabilities_and_status_byte_replies) {
  auto reply = bytes({1, 0, 0x00, 0x01, 0x04, 0x01, 0, 0, 0, 0, 0, 0, 0x00, 0x01, 0x07, 0x08, 0, 0, 0, 0, 0, 0, 0, 0});
  auto caps = parse_capabilities(reply);
  ASSERT_TRUE(caps);
  EXPECT_EQ(caps->bcd_usbtmc, 0x0100);
  EXPECT_TRUE(caps->termchar && caps->indicator_pulse && caps->usb488_trigger && caps->usb488_488_2 &&
              caps->usb488_scpi && caps->usb488_ren_control);
  EXPECT_FALSE(caps->listen_only || caps->talk_only);
  reply[5] = std::byte{0};
  EXPECT_FALSE(parse_capabilities(reply)->termchar);
  reply[0] = std::byte{0x80};
  EXPECT_FALSE(parse_capabilities(reply));  // FAILED
  EXPECT_FALSE(parse_capabilities(std::span(reply).first(23)));

  auto stb = parse_status_byte_reply(bytes({1, 5, 0x40}));
  ASSERT_TRUE(stb);
  EXPECT_EQ(stb->code, status::success);
  EXPECT_EQ(stb->tag, 5);
  EXPECT_EQ(stb->stb, 0x40);
  EXPECT_FALSE(parse_status_byte_reply(bytes({1, 5})));
  EXPECT_EQ(parse_status_byte_notification(bytes({0x85, 0x10}), 5), 0x10);
  EXPECT_FALSE(parse_status_byte_notification(bytes({0x81, 0x10}), 5));  // SRQ, not the answer
  EXPECT_FALSE(parse_status_byte_notification(bytes({0x86, 0x10}), 5));
  EXPECT_FALSE(parse_status_byte_notification(bytes({0x85}), 5));
}

// Runs a sequence against scripted replies (one per control step, in order) and records what it
// asked for: C<request> for a control transfer, D for a drain, P for a pause, H<endpoint> for
// clearing a halt, then "done" or "failed".
std::string run(sequence s, const std::vector<std::vector<std::byte>>& replies) {
  std::string trace;
  std::size_t next = 0;
  for (int guard = 0; guard < 1000; ++guard) {
    switch (s.next()) {
      case step::control:
        trace += "C" + std::to_string(s.setup().request) + " ";
        s.on_reply(next < replies.size() ? std::span<const std::byte>(replies[next++]) : std::span<const std::byte>());
        break;
      case step::drain_in:
        trace += "D ";
        s.on_drained();
        break;
      case step::pause:
        trace += "P ";
        s.on_paused();
        break;
      case step::clear_halt:
        trace += "H" + std::to_string(s.halt_endpoint()) + " ";
        s.on_halt_cleared();
        break;
      case step::done:
        return trace + "done";
      case step::failed:
        return trace + "failed";
    }
  }
  return trace + "looped";
}

TEST(usbtmc_sequences, abort_clear_paths) {
  using k = sequence::kind;
  struct row {
    const char* what;
    k kind;
    std::vector<std::vector<std::byte>> replies;
    std::string trace;
  };
  const auto check8 = [](unsigned st, unsigned bit) { return bytes({st, bit, 0, 0, 0, 0, 0, 0}); };
  const row rows[] = {
      {"abort in: drain, then success", k::abort_bulk_in, {bytes({1, 5}), check8(1, 0)}, "C3 D C4 done"},
      {"abort in: pending with data queued drains again", k::abort_bulk_in,
       {bytes({1, 5}), check8(2, 1), check8(2, 0), check8(1, 0)}, "C3 D C4 D C4 P C4 done"},
      {"abort in: nothing in progress", k::abort_bulk_in, {bytes({0x80, 5})}, "C3 done"},
      {"abort in: another transfer queued is read out", k::abort_bulk_in, {bytes({0x81, 5})}, "C3 D done"},
      {"abort in: check fails", k::abort_bulk_in, {bytes({1, 5}), check8(0x80, 0)}, "C3 D C4 failed"},
      {"abort in: short reply", k::abort_bulk_in, {bytes({1})}, "C3 failed"},
      {"abort out: pending then success clears the halt", k::abort_bulk_out,
       {bytes({1, 5}), check8(2, 1), check8(1, 0)}, "C1 C2 P C2 H1 done"},
      {"abort out: nothing in progress", k::abort_bulk_out, {bytes({0x80, 5})}, "C1 done"},
      {"abort out: unknown status", k::abort_bulk_out, {bytes({0x83, 5})}, "C1 failed"},
      {"clear: pending with data, then success", k::clear, {bytes({1}), bytes({2, 1}), bytes({2, 0}), bytes({1, 0})},
       "C5 C6 D C6 P C6 H1 done"},
      {"clear: refused", k::clear, {bytes({0x80})}, "C5 failed"},
      {"clear: no answer", k::clear, {}, "C5 failed"},
  };
  for (const row& r : rows) EXPECT_EQ(run(sequence(r.kind, 5, 0, 0x82, 0x01), r.replies), r.trace) << r.what;
}

TEST(usbtmc_sequences, a_device_that_stays_pending_ends_in_failure) {
  std::vector<std::vector<std::byte>> replies = {bytes({1})};
  for (int i = 0; i < max_checks + 10; ++i) replies.push_back(bytes({2, 0}));
  sequence s(sequence::kind::clear, 0, 0, 0x82, 0x01);
  const std::string trace = run(s, replies);
  EXPECT_EQ(trace.substr(trace.size() - 6), "failed");
}

}  // namespace
}  // namespace kobrant::visa::usbtmc
