// The VXI-11 client's byte work without sockets: calls encoded as the protocol lays them out,
// replies decoded whatever their fragmenting and however the bytes trickle in, a reader that
// keeps its place across a timeout, and peer lengths that never decide an allocation.
#include "vxi11_wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace kobrant::visa::vxi11 {
namespace {

std::string u32(std::uint32_t v) {
  return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string padded(const std::string& bytes) { return bytes + std::string(xdr_pad(bytes.size()), '\0'); }

// An accepted reply's body: header, a verifier, SUCCESS, then the results.
std::string success_body(std::uint32_t xid, const std::string& results, const std::string& verifier = "") {
  return u32(xid) + u32(1) + u32(0) + u32(7) + u32(static_cast<std::uint32_t>(verifier.size())) +
         padded(verifier) + u32(0) + results;
}

std::string read_results(std::uint32_t error, std::uint32_t reason, const std::string& data) {
  return u32(error) + u32(reason) + u32(static_cast<std::uint32_t>(data.size())) + padded(data);
}

// The body as a record of fragments of at most fragment bytes; empty non-last fragments are
// legal and a reader must step over them.
std::string as_record(const std::string& body, std::size_t fragment, bool empty_fragments = false) {
  std::string out;
  std::size_t at = 0;
  do {
    if (empty_fragments) out += u32(0);
    const std::size_t n = std::min(fragment, body.size() - at);
    const bool last = at + n == body.size();
    out += u32((last ? last_fragment : 0) | static_cast<std::uint32_t>(n)) + body.substr(at, n);
    at += n;
  } while (at < body.size());
  return out;
}

// Hands out bytes in pieces of at most chunk; fails with fail_status once fail_at bytes are out
// (a timeout mid-stream), and reports a closed connection at the end.
class memory_source final : public byte_source {
 public:
  explicit memory_source(std::string bytes, std::size_t chunk = 1 << 20)
      : bytes_(std::move(bytes)), chunk_(chunk) {}
  ViStatus receive_some(std::span<std::byte> space, std::size_t& count) override {
    count = 0;
    if (pos_ >= fail_at_) return VI_ERROR_TMO;
    if (pos_ == bytes_.size()) return VI_ERROR_CONN_LOST;
    count = std::min({space.size(), chunk_, bytes_.size() - pos_, fail_at_ - pos_});
    std::memcpy(space.data(), bytes_.data() + pos_, count);
    pos_ += count;
    return VI_SUCCESS;
  }
  void fail_at(std::size_t at) { fail_at_ = at; }
  std::size_t position() const { return pos_; }

 private:
  std::string bytes_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
  std::size_t fail_at_ = std::string::npos;
};

std::string as_string(std::span<const std::byte> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string as_string(held_bytes& held) {
  std::string out(held.size(), '\0');
  bool end = false;
  held.take(std::as_writable_bytes(std::span(out)), end);
  return out;
}

TEST(vxi11_encode, getport_call_is_the_documented_record) {
  std::array<std::byte, max_call_head> out{};
  const std::array<std::uint32_t, 4> mapping = {device_core, device_core_version, ipproto_tcp, 0};
  const std::size_t n = encode_call(out, {1, pmap_prog, pmap_vers, pmapproc_getport}, mapping);
  const std::string expected = u32(0x80000038) + u32(1) + u32(0) + u32(2) + u32(100000) + u32(2) + u32(3) +
                               u32(0) + u32(0) + u32(0) + u32(0) + u32(0x0607AF) + u32(1) + u32(6) + u32(0);
  EXPECT_EQ(as_string(std::span(out).first(n)), expected);
}

TEST(vxi11_encode, opaque_length_and_padding_are_counted_in_the_record_mark) {
  std::array<std::byte, max_call_head> out{};
  const std::array<std::uint32_t, 4> parms = {7, 1000, 0, flag_end};
  for (std::size_t size : {0u, 1u, 3u, 4u, 5u, 204810u}) {
    SCOPED_TRACE(size);
    const std::size_t n = encode_call(out, {9, device_core, 1, 11}, parms, size);
    ASSERT_EQ(n, 4 + 40 + 16 + 4u);
    EXPECT_EQ(get_u32(out, 0), last_fragment | (40 + 16 + 4 + size + xdr_pad(size)));
    EXPECT_EQ(get_u32(out, n - 4), size) << "the opaque's own length word";
  }
  const std::array<std::uint32_t, max_call_words + 1> too_many{};
  EXPECT_EQ(encode_call(out, {}, too_many), 0u);
  EXPECT_EQ(encode_call(out, {}, parms, max_call_opaque + 1), 0u) << "must fit one fragment";
}

TEST(vxi11_decode, reply_heads_accepted_denied_and_malformed) {
  struct case_t {
    std::string name, bytes;
    std::size_t need;
    rpc_fault fault;
  };
  const std::string head = u32(5) + u32(1);
  const std::vector<case_t> cases = {
      {"success", success_body(5, ""), 24, rpc_fault::none},
      {"verifier padded", success_body(5, "", "abcde"), 32, rpc_fault::none},
      {"verifier at its limit", success_body(5, "", std::string(400, 'v')), 424, rpc_fault::none},
      {"verifier too long", head + u32(0) + u32(0) + u32(401), 20, rpc_fault::malformed},
      {"program unavailable", head + u32(0) + u32(0) + u32(0) + u32(1), 24, rpc_fault::prog_unavail},
      {"procedure unavailable", head + u32(0) + u32(0) + u32(0) + u32(3), 24, rpc_fault::proc_unavail},
      {"unknown accept status", head + u32(0) + u32(0) + u32(0) + u32(9), 24, rpc_fault::malformed},
      {"denied, auth", head + u32(1) + u32(1) + u32(2), 16, rpc_fault::auth_error},
      {"denied, version", head + u32(1) + u32(0) + u32(2) + u32(2), 16, rpc_fault::rpc_mismatch},
      {"denied, unknown", head + u32(1) + u32(7), 16, rpc_fault::malformed},
      {"neither accepted nor denied", head + u32(2), 12, rpc_fault::malformed},
      {"a call, not a reply", u32(5) + u32(0) + u32(2), 12, rpc_fault::malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto bytes = std::as_bytes(std::span(c.bytes.data(), c.bytes.size()));
    // Fed a byte at a time, the decoder asks for more until it can decide, never past the head.
    reply_head decoded;
    std::size_t have = 0;
    while ((decoded = decode_reply_head(bytes.first(have))).need > have) {
      ASSERT_LE(decoded.need, max_reply_head);
      ASSERT_LT(have, bytes.size()) << "asked for " << decoded.need << " bytes";
      ++have;
    }
    EXPECT_EQ(decoded.need, c.need);
    EXPECT_EQ(decoded.fault, c.fault);
    EXPECT_EQ(decoded.xid, 5u);
  }
}

TEST(vxi11_reader, any_fragmenting_and_any_trickle_give_the_same_reply) {
  const std::string data = "#17\x00\n\x01\x02\xff\x80\n";
  const std::string body = success_body(42, read_results(0, reason_end, data), "xy");
  for (std::size_t fragment = 1; fragment <= body.size(); fragment += fragment < 12 ? 1 : 7) {
    for (std::size_t chunk : {1u, 2u, 3u, 5u, 64u}) {
      for (bool empty_fragments : {false, true}) {
        SCOPED_TRACE("fragment " + std::to_string(fragment) + " chunk " + std::to_string(chunk));
        memory_source source(as_record(body, fragment, empty_fragments) + as_record(success_body(43, u32(0)), 3), chunk);
        record_reader reader;
        std::array<std::byte, 64> space{};
        held_bytes excess;
        read_reply reply;
        ASSERT_EQ(receive_read_reply(reader, source, 42, space, excess, reply), VI_SUCCESS);
        EXPECT_EQ(reply.error, device_error::no_error);
        EXPECT_EQ(reply.reason, reason_end);
        EXPECT_EQ(as_string(std::span(space).first(reply.count)), data);
        EXPECT_TRUE(excess.empty());
        EXPECT_FALSE(reader.in_record()) << "padding and the closing fragment are consumed";
        // The next reply starts exactly where this one ended.
        std::array<std::uint32_t, 1> error{99};
        ASSERT_EQ(receive_reply(reader, source, 43, error), VI_SUCCESS);
        EXPECT_EQ(error[0], 0u);
      }
    }
  }
}

TEST(vxi11_reader, a_record_shorter_than_its_contents_is_an_io_error) {
  // The data length claims 100 bytes; the record ends after 3.
  const std::string body = success_body(1, u32(0) + u32(4) + u32(100) + "abc");
  memory_source source(as_record(body, 8) + as_record(success_body(2, u32(0)), 64));
  record_reader reader;
  std::array<std::byte, 200> space{};
  held_bytes excess;
  read_reply reply;
  EXPECT_EQ(receive_read_reply(reader, source, 1, space, excess, reply), VI_ERROR_IO);
  EXPECT_EQ(reply.count, 3u);
  EXPECT_FALSE(reader.in_record()) << "must not read into the next record";

  memory_source short_head(as_record(u32(1) + u32(1) + u32(0), 64));
  record_reader fresh;
  std::array<std::uint32_t, 1> port{};
  EXPECT_EQ(receive_reply(fresh, short_head, 1, port), VI_ERROR_IO);
}

TEST(vxi11_reader, after_a_timeout_anywhere_the_next_reply_is_found) {
  // The reply to call 1 is interrupted after k bytes, for every k; the call after it must
  // still get its own reply, whatever was left half-read (a record mark, the head, the data).
  const std::string first = as_record(success_body(1, read_results(0, reason_end, "interrupted")), 9);
  const std::string second = as_record(success_body(2, read_results(0, reason_end, "next")), 5);
  for (std::size_t k = 0; k < first.size(); ++k) {
    SCOPED_TRACE(k);
    memory_source source(first + second, 3);
    source.fail_at(k);
    record_reader reader;
    std::array<std::byte, 32> space{};
    held_bytes excess;
    read_reply reply;
    ASSERT_EQ(receive_read_reply(reader, source, 1, space, excess, reply), VI_ERROR_TMO);
    EXPECT_LE(reply.count, 11u);
    EXPECT_EQ(as_string(std::span(space).first(reply.count)), std::string("interrupted").substr(0, reply.count));

    source.fail_at(std::string::npos);
    ASSERT_EQ(receive_read_reply(reader, source, 2, space, excess, reply), VI_SUCCESS);
    EXPECT_EQ(as_string(std::span(space).first(reply.count)), "next");
  }
}

TEST(vxi11_reader, replies_to_abandoned_calls_are_skipped_but_garbage_is_not) {
  const std::string stale = as_record(success_body(6, read_results(15, 0, std::string(3000, 'x'))), 1000) +
                            as_record(u32(7) + u32(1) + u32(1) + u32(1) + u32(2), 64);  // a stale denial
  const std::string wanted = as_record(success_body(8, u32(0) + u32(3)), 64);
  {
    memory_source source(stale + wanted, 7);
    record_reader reader;
    std::array<std::uint32_t, 2> words{};
    ASSERT_EQ(receive_reply(reader, source, 8, words), VI_SUCCESS);
    EXPECT_EQ(words[1], 3u);
  }
  {
    // A record that is no reply at all ends the search: the stream cannot be trusted.
    memory_source source(as_record(u32(8) + u32(0) + u32(2) + u32(0), 64) + wanted);
    record_reader reader;
    std::array<std::uint32_t, 2> words{};
    EXPECT_EQ(receive_reply(reader, source, 8, words), VI_ERROR_IO);
  }
  {
    // The right call, rejected: the reply's remaining words are consumed with it.
    memory_source source(as_record(u32(8) + u32(1) + u32(0) + u32(0) + u32(0) + u32(2) + u32(1) + u32(1), 64) +
                         as_record(success_body(9, u32(0)), 64));
    record_reader reader;
    std::array<std::uint32_t, 2> words{};
    EXPECT_EQ(receive_reply(reader, source, 8, words), VI_ERROR_NSUP_OPER);
    std::array<std::uint32_t, 1> next{};
    EXPECT_EQ(receive_reply(reader, source, 9, next), VI_SUCCESS);
  }
}

TEST(vxi11_reader, data_beyond_the_request_is_kept_within_a_bound) {
  {
    memory_source source(as_record(success_body(3, read_results(0, reason_end, "abcdefgh")), 5));
    record_reader reader;
    std::array<std::byte, 3> space{};
    held_bytes excess;
    read_reply reply;
    ASSERT_EQ(receive_read_reply(reader, source, 3, space, excess, reply), VI_SUCCESS);
    EXPECT_EQ(as_string(std::span(space).first(reply.count)), "abc");
    EXPECT_EQ(as_string(excess), "defgh");
  }
  {
    // A length far beyond the request is refused before a byte of it is taken or allocated.
    memory_source source(as_record(success_body(3, u32(0) + u32(4) + u32(0xFFFFFFF0)), 64));
    record_reader reader;
    std::array<std::byte, 16> space{};
    held_bytes excess;
    read_reply reply;
    EXPECT_EQ(receive_read_reply(reader, source, 3, space, excess, reply), VI_ERROR_IO);
    EXPECT_EQ(reply.count, 0u);
    EXPECT_EQ(excess.capacity(), 0u);
  }
}

// The decoder driven as the transport drives it: bytes pushed into whatever space it offers,
// in pieces that cut across marks, heads and data, with a stale reply to skip first.
TEST(vxi11_reader, pushed_bytes_are_decoded_in_place_and_data_lands_in_the_callers_space) {
  const std::string stream = as_record(success_body(1, u32(0) + u32(0)), 7) +
                             as_record(success_body(2, read_results(0, reason_end, "hello world")), 6, true);
  for (std::size_t piece : {1u, 3u, 64u}) {
    SCOPED_TRACE(piece);
    record_reader reader;
    std::array<std::byte, 8> space{};
    held_bytes excess;
    reader.expect_read_reply(2, space.size(), excess);
    std::size_t pos = 0;
    std::optional<ViStatus> outcome;
    while (!outcome && pos < stream.size()) {
      const std::span<std::byte> offered = reader.next_space(space);
      ASSERT_FALSE(offered.empty());
      const std::size_t n = std::min({offered.size(), piece, stream.size() - pos});
      std::memcpy(offered.data(), stream.data() + pos, n);
      pos += n;
      outcome = reader.took(n);
    }
    ASSERT_EQ(outcome, VI_SUCCESS);
    EXPECT_EQ(pos, stream.size()) << "the padding is read with the record";
    EXPECT_FALSE(reader.in_record());
    EXPECT_TRUE(reader.next_space(space).empty());
    const read_reply reply = reader.read_result();
    EXPECT_EQ(reply.reason, reason_end);
    EXPECT_EQ(as_string(std::span(space).first(reply.count)), "hello wo");
    EXPECT_EQ(as_string(excess), "rld");
  }
}

TEST(vxi11_reader, a_caller_space_smaller_than_announced_is_never_written_past) {
  memory_source source(as_record(success_body(4, read_results(0, reason_end, "abcdef")), 64));
  record_reader reader;
  std::array<std::byte, 8> space{};
  held_bytes excess;
  reader.expect_read_reply(4, space.size(), excess);
  EXPECT_EQ(reader.run(source, std::span(space).first(2)), VI_ERROR_IO);
  EXPECT_EQ(reader.read_result().count, 0u);
}

TEST(vxi11_status, conditions_map_to_the_statuses_a_caller_acts_on) {
  EXPECT_EQ(to_status(device_error::no_error), VI_SUCCESS);
  EXPECT_EQ(to_status(device_error::io_timeout), VI_ERROR_TMO);
  EXPECT_EQ(to_status(device_error::device_locked_by_another_link), VI_ERROR_RSRC_LOCKED);
  EXPECT_EQ(to_status(device_error::device_not_accessible), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(to_status(device_error::invalid_link_identifier), VI_ERROR_CONN_LOST);
  EXPECT_EQ(to_status(device_error::parameter_error), VI_ERROR_INV_PARAMETER);
  EXPECT_EQ(to_status(device_error::out_of_resources), VI_ERROR_RSRC_BUSY);
  EXPECT_EQ(to_status(device_error::abort), VI_ERROR_ABORT);
  EXPECT_EQ(to_status(static_cast<device_error>(99)), VI_ERROR_IO) << "codes the protocol does not define";
  EXPECT_EQ(to_status(static_cast<device_error>(0x80000000u)), VI_ERROR_IO);
}

}  // namespace
}  // namespace kobrant::visa::vxi11
