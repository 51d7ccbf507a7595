// The HiSLIP framing functions and the message reader, on bytes alone: header layout, length
// checks, and a reader that gives the same messages however the stream is cut. (Stale answers,
// long control payloads, broken streams and clears: visa_hislip_test, through the transport.)
#include "hislip_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace kobrant::visa::hislip {
namespace {

std::string bytes_of(std::span<const std::byte> b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

std::string message(message_type type, std::uint8_t control, std::uint32_t parameter, const std::string& payload) {
  return bytes_of(encode_header({type, control, parameter, payload.size()})) + payload;
}

TEST(hislip_header, is_big_endian_behind_the_prologue) {
  const auto h = encode_header({message_type::data_end, 0x01, 0xFFFFFF02, 0x0102030405060708});
  EXPECT_EQ(bytes_of(h), std::string("HS\x07\x01\xFF\xFF\xFF\x02\x01\x02\x03\x04\x05\x06\x07\x08", 16));
  header back;
  ASSERT_EQ(decode_header(h, ~std::uint64_t{0}, back), decode_status::ok);
  EXPECT_EQ(back, (header{message_type::data_end, 0x01, 0xFFFFFF02, 0x0102030405060708}));
}

TEST(hislip_header, rejects_a_foreign_prologue_and_a_length_beyond_the_limit) {
  header h;
  auto bytes = encode_header({message_type::data, 0, 0, 101});
  EXPECT_EQ(decode_header(bytes, 100, h), decode_status::too_long);
  EXPECT_EQ(decode_header(bytes, 101, h), decode_status::ok);
  bytes[1] = std::byte{'T'};
  EXPECT_EQ(decode_header(bytes, 1000, h), decode_status::bad_prologue);
}

TEST(hislip_header, initialize_parameter_and_size_payload) {
  EXPECT_EQ(initialize_parameter(0x0100, "KB"), 0x01004B42u);
  EXPECT_EQ(decode_u64(encode_u64(0x1122334455667788)), 0x1122334455667788u);
  const std::byte seven[7]{};
  EXPECT_FALSE(decode_u64(seven));
}

// Feeds stream to a reader in pieces of at most piece bytes, with caller spaces of space
// bytes, and sums up what came out.
struct outcome {
  std::string delivered;
  int ends = 0;  // data events that ended a response
  std::vector<message_type> messages;
};

outcome run_reader(message_reader& reader, const std::string& stream, std::size_t piece, std::size_t space) {
  outcome out;
  std::vector<std::byte> caller(space);
  std::size_t at = 0;
  while (at < stream.size()) {
    auto target = reader.next_space(caller);
    const std::size_t n = std::min({target.size(), piece, stream.size() - at});
    std::memcpy(target.data(), stream.data() + at, n);
    at += n;
    const auto e = reader.took(n);
    if (e.kind == message_reader::event_kind::data) {
      out.delivered += bytes_of(std::span(caller).first(e.count));
      out.ends += e.end;
    } else if (e.kind == message_reader::event_kind::message) {
      out.messages.push_back(e.head.type);
    }
  }
  return out;
}

TEST(hislip_reader, gives_the_same_data_however_the_stream_and_the_space_are_cut) {
  const std::string stream = message(message_type::data, 0, 7, "Hello, ") +
                             message(message_type::async_service_request, 0x40, 0, "") +
                             message(message_type::data, 0, 7, "") +
                             message(message_type::data_end, 0, 7, "world\n") +
                             message(message_type::data_end, 0, 7, "");
  for (std::size_t piece = 1; piece <= 17; ++piece) {
    for (std::size_t space = 1; space <= 9; ++space) {
      message_reader reader(1000, true);
      const auto out = run_reader(reader, stream, piece, space);
      ASSERT_EQ(out.delivered, "Hello, world\n") << piece << " " << space;
      // The empty DataEND still ends a response of its own.
      ASSERT_EQ(out.ends, 2);
      ASSERT_EQ(out.messages, std::vector{message_type::async_service_request});
      ASSERT_TRUE(reader.at_message_boundary());
    }
  }
}

}  // namespace
}  // namespace kobrant::visa::hislip
