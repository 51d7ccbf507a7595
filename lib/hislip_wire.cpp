// HiSLIP framing without I/O (see hislip_wire.h): header encoding and decoding, and the
// message reader the transport runs each channel's input through.
#include "hislip_wire.h"

#include <algorithm>

namespace kobrant::visa::hislip {
namespace {

void put_be(std::span<std::byte> out, std::uint64_t value) {
  for (std::size_t i = out.size(); i-- > 0; value >>= 8) out[i] = static_cast<std::byte>(value & 0xFF);
}

message_reader::event make_event(message_reader::event_kind kind, const header& head) {
  message_reader::event e;
  e.kind = kind;
  e.head = head;
  return e;
}

std::uint64_t get_be(std::span<const std::byte> in) {
  std::uint64_t value = 0;
  for (std::byte b : in) value = value << 8 | std::to_integer<std::uint64_t>(b);
  return value;
}

}  // namespace

header_bytes encode_header(const header& h) {
  header_bytes out{};
  out[0] = prologue[0];
  out[1] = prologue[1];
  out[2] = static_cast<std::byte>(h.type);
  out[3] = static_cast<std::byte>(h.control_code);
  put_be(std::span(out).subspan(4, 4), h.message_parameter);
  put_be(std::span(out).subspan(8, 8), h.payload_length);
  return out;
}

decode_status decode_header(std::span<const std::byte, header_size> bytes, std::uint64_t max_payload,
                            header& out) {
  if (bytes[0] != prologue[0] || bytes[1] != prologue[1]) return decode_status::bad_prologue;
  out.type = static_cast<message_type>(bytes[2]);
  out.control_code = std::to_integer<std::uint8_t>(bytes[3]);
  out.message_parameter = static_cast<std::uint32_t>(get_be(bytes.subspan(4, 4)));
  out.payload_length = get_be(bytes.subspan(8, 8));
  return out.payload_length > max_payload ? decode_status::too_long : decode_status::ok;
}

std::uint32_t initialize_parameter(std::uint16_t version, std::string_view vendor_id) {
  const auto letter = [&](std::size_t i) -> std::uint32_t {
    return i < vendor_id.size() ? static_cast<unsigned char>(vendor_id[i]) : ' ';
  };
  return std::uint32_t{version} << 16 | letter(0) << 8 | letter(1);
}

std::array<std::byte, 8> encode_u64(std::uint64_t value) {
  std::array<std::byte, 8> out{};
  put_be(out, value);
  return out;
}

std::optional<std::uint64_t> decode_u64(std::span<const std::byte> payload) {
  if (payload.size() != 8) return std::nullopt;
  return get_be(payload);
}

message_reader::message_reader(std::uint64_t max_payload, bool data_channel)
    : max_payload_(max_payload), data_channel_(data_channel) {}

bool message_reader::delivers(const header& h) const {
  if (discard_data_) return false;
  if (!expected_id_ || h.message_parameter == unknown_message_id) return true;
  return h.message_parameter == *expected_id_;
}

void message_reader::expect_message_id(std::optional<std::uint32_t> id) {
  expected_id_ = id;
  // The rest of an answer to an earlier message must not reach the caller as part of the next.
  if (state_ == state::payload && route_ == route::caller && !delivers(current_)) route_ = route::dropped;
}

void message_reader::set_discard_data(bool discard) {
  discard_data_ = discard;
  if (discard && state_ == state::payload && route_ == route::caller) route_ = route::dropped;
}

std::span<std::byte> message_reader::next_space(std::span<std::byte> caller_space) {
  switch (state_) {
    case state::header:
      return std::span(header_buffer_).subspan(header_have_);
    case state::payload: {
      // owed_ is at most max_payload_, but may exceed what a size_t holds on small machines.
      const auto limit = [&](std::size_t room) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(room, owed_));
      };
      if (route_ == route::caller) return caller_space.first(limit(caller_space.size()));
      if (route_ == route::kept && kept_have_ < kept_.size())
        return std::span(kept_).subspan(kept_have_, limit(kept_.size() - kept_have_));
      return std::span(dropped_).first(limit(dropped_.size()));
    }
    case state::broken:
      break;
  }
  return {};
}

message_reader::event message_reader::took(std::size_t n) {
  switch (state_) {
    case state::header:
      header_have_ += n;
      if (header_have_ < header_size) return {};
      header_have_ = 0;
      return finish_header();
    case state::payload: {
      event e;
      if (route_ == route::caller) {
        e.kind = event_kind::data;
        e.count = n;
        e.head = current_;
      } else if (route_ == route::kept && kept_have_ < kept_.size()) {
        kept_have_ += n;
      }
      owed_ -= n;
      if (owed_ > 0) return e;
      event done = finish_payload();
      if (e.kind != event_kind::data) return done;
      e.end = done.end;
      return e;
    }
    case state::broken:
      break;
  }
  return {};
}

message_reader::event message_reader::finish_header() {
  switch (decode_header(header_buffer_, max_payload_, current_)) {
    case decode_status::ok:
      break;
    case decode_status::bad_prologue:
      state_ = state::broken;
      return make_event(event_kind::bad_prologue, current_);
    case decode_status::too_long:
      state_ = state::broken;
      return make_event(event_kind::too_long, current_);
  }
  const bool is_data =
      data_channel_ && (current_.type == message_type::data || current_.type == message_type::data_end);
  route_ = !is_data ? route::kept : delivers(current_) ? route::caller : route::dropped;
  kept_have_ = 0;
  owed_ = current_.payload_length;
  state_ = state::payload;
  if (owed_ > 0) return {};
  return finish_payload();
}

message_reader::event message_reader::finish_payload() {
  state_ = state::header;
  event e;
  e.head = current_;
  switch (route_) {
    case route::caller:
      e.kind = event_kind::data;
      e.end = current_.type == message_type::data_end;
      // An empty Data says nothing; an empty DataEND still ends the response.
      if (!e.end) e.kind = event_kind::none;
      break;
    case route::kept:
      e.kind = event_kind::message;
      e.payload = std::span(kept_).first(kept_have_);
      break;
    case route::dropped:
      e.kind = event_kind::none;
      break;
  }
  return e;
}

}  // namespace kobrant::visa::hislip
