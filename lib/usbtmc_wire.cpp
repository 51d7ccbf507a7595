// USBTMC framing and the abort and clear sequences (see usbtmc_wire.h for the layout and the
// sections of the class documents each piece follows).
#include "usbtmc_wire.h"

#include <algorithm>

namespace kobrant::visa::usbtmc {
namespace {

std::byte b(unsigned v) { return static_cast<std::byte>(v & 0xFF); }
unsigned u8(std::byte v) { return std::to_integer<unsigned>(v); }

void put_u32(std::byte* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = b(v >> (8 * i));
}

std::uint32_t get_u32(const std::byte* at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | u8(at[i]);
  return v;
}

std::uint16_t get_u16(const std::byte* at) { return static_cast<std::uint16_t>(u8(at[0]) | u8(at[1]) << 8); }

header_bytes bulk_out_header(msg_id id, std::uint8_t tag) {
  header_bytes h{};
  h[0] = b(static_cast<unsigned>(id));
  h[1] = b(tag);
  h[2] = b(~static_cast<unsigned>(tag));
  return h;
}

std::uint64_t round_up(std::uint64_t n, std::size_t unit) { return (n + unit - 1) / unit * unit; }

}  // namespace

header_bytes dev_dep_msg_out(std::uint8_t tag, std::uint32_t size, bool eom) {
  header_bytes h = bulk_out_header(msg_id::dev_dep_msg_out, tag);
  put_u32(&h[4], size);
  h[8] = b(eom ? attr_eom : 0);
  return h;
}

header_bytes request_dev_dep_msg_in(std::uint8_t tag, std::uint32_t size, std::optional<std::uint8_t> termchar) {
  header_bytes h = bulk_out_header(msg_id::request_dev_dep_msg_in, tag);
  put_u32(&h[4], size);
  if (termchar) {
    h[8] = b(attr_termchar);
    h[9] = b(*termchar);
  }
  return h;
}

header_bytes trigger(std::uint8_t tag) { return bulk_out_header(msg_id::trigger, tag); }

in_check parse_in_header(std::span<const std::byte> bytes, std::uint8_t expected_tag, std::uint8_t tolerated_tag,
                         in_header& out) {
  if (bytes.size() < header_size) return in_check::too_short;
  if (u8(bytes[0]) != static_cast<unsigned>(msg_id::request_dev_dep_msg_in)) return in_check::wrong_msg_id;
  const unsigned tag = u8(bytes[1]);
  if ((tag ^ u8(bytes[2])) != 0xFF) return in_check::bad_inverse;
  if (tag != expected_tag && (tolerated_tag == 0 || tag != tolerated_tag)) return in_check::wrong_tag;
  out.tag = static_cast<std::uint8_t>(tag);
  out.size = get_u32(&bytes[4]);
  out.eom = (u8(bytes[8]) & attr_eom) != 0;
  out.termchar = (u8(bytes[8]) & attr_termchar) != 0;
  if (out.size == 0 && !out.eom) return in_check::empty;
  return in_check::ok;
}

in_transfer::in_transfer(const in_header& header, std::size_t piece_size) {
  const std::uint64_t after_header = piece_size > header_size ? piece_size - header_size : 0;
  first_length_ = static_cast<std::size_t>(std::min<std::uint64_t>(after_header, header.size));
  data_left_ = header.size - first_length_;
  const std::uint64_t padded = header.size + alignment_padding(header.size);
  padding_left_ = padded - header.size - std::min<std::uint64_t>(after_header - first_length_,
                                                                   padded - header.size);
}

std::size_t in_transfer::take(std::size_t n) {
  const std::size_t data = static_cast<std::size_t>(std::min<std::uint64_t>(n, data_left_));
  data_left_ -= data;
  padding_left_ -= std::min<std::uint64_t>(n - data, padding_left_);
  return data;
}

std::size_t in_transfer::next_read(std::size_t packet_size, std::size_t limit) const {
  return static_cast<std::size_t>(std::min<std::uint64_t>(round_up(bytes_left(), packet_size), limit));
}

std::size_t first_read_length(std::uint32_t requested, std::size_t packet_size, std::size_t limit) {
  const std::uint64_t whole = header_size + std::uint64_t{requested} + alignment_padding(requested);
  return static_cast<std::size_t>(std::min<std::uint64_t>((whole / packet_size + 1) * packet_size, limit));
}

control_setup setup_for(request r, std::uint16_t interface_number, std::uint8_t endpoint, std::uint16_t value) {
  switch (r) {
    case request::initiate_abort_bulk_out:
    case request::initiate_abort_bulk_in:
      return {to_endpoint, static_cast<std::uint8_t>(r), value, endpoint, 2};
    case request::check_abort_bulk_out_status:
    case request::check_abort_bulk_in_status:
      return {to_endpoint, static_cast<std::uint8_t>(r), 0, endpoint, 8};
    case request::check_clear_status:
      return {to_interface, static_cast<std::uint8_t>(r), 0, interface_number, 2};
    case request::get_capabilities:
      return {to_interface, static_cast<std::uint8_t>(r), 0, interface_number, 0x18};
    case request::read_status_byte:
      return {to_interface, static_cast<std::uint8_t>(r), value, interface_number, 3};
    case request::initiate_clear:
    case request::indicator_pulse:
    case request::ren_control:
    case request::go_to_local:
    case request::local_lockout:
      break;
  }
  return {to_interface, static_cast<std::uint8_t>(r), value, interface_number, 1};
}

std::optional<capabilities> parse_capabilities(std::span<const std::byte> reply) {
  if (reply.size() < 0x18 || u8(reply[0]) != static_cast<unsigned>(status::success)) return std::nullopt;
  capabilities c;
  c.bcd_usbtmc = get_u16(&reply[2]);
  c.listen_only = (u8(reply[4]) & 0x01) != 0;
  c.talk_only = (u8(reply[4]) & 0x02) != 0;
  c.indicator_pulse = (u8(reply[4]) & 0x04) != 0;
  c.termchar = (u8(reply[5]) & 0x01) != 0;
  c.bcd_usb488 = get_u16(&reply[12]);
  c.usb488_trigger = (u8(reply[14]) & 0x01) != 0;
  c.usb488_ren_control = (u8(reply[14]) & 0x02) != 0;
  c.usb488_488_2 = (u8(reply[14]) & 0x04) != 0;
  c.usb488_scpi = (u8(reply[15]) & 0x08) != 0;
  return c;
}

std::optional<status_byte_reply> parse_status_byte_reply(std::span<const std::byte> reply) {
  if (reply.size() < 3) return std::nullopt;
  return status_byte_reply{static_cast<status>(u8(reply[0])), static_cast<std::uint8_t>(u8(reply[1])),
                           static_cast<std::uint8_t>(u8(reply[2]))};
}

std::optional<std::uint8_t> parse_status_byte_notification(std::span<const std::byte> packet, std::uint8_t tag) {
  if (packet.size() < 2 || u8(packet[0]) != (0x80u | tag)) return std::nullopt;
  return static_cast<std::uint8_t>(u8(packet[1]));
}

sequence::sequence(kind k, std::uint8_t tag, std::uint16_t interface_number, std::uint8_t in_endpoint,
                   std::uint8_t out_endpoint)
    : kind_(k), tag_(tag), interface_(interface_number), in_endpoint_(in_endpoint), out_endpoint_(out_endpoint) {}

control_setup sequence::setup() const {
  switch (kind_) {
    case kind::abort_bulk_in:
      return initiated_ ? setup_for(request::check_abort_bulk_in_status, interface_, in_endpoint_)
                        : setup_for(request::initiate_abort_bulk_in, interface_, in_endpoint_, tag_);
    case kind::abort_bulk_out:
      return initiated_ ? setup_for(request::check_abort_bulk_out_status, interface_, out_endpoint_)
                        : setup_for(request::initiate_abort_bulk_out, interface_, out_endpoint_, tag_);
    case kind::clear:
      break;
  }
  return initiated_ ? setup_for(request::check_clear_status, interface_, 0)
                    : setup_for(request::initiate_clear, interface_, 0);
}

void sequence::check_again(bool drain_first) {
  if (++checks_ > max_checks) {
    last_ = status::pending;
    step_ = step::failed;
    return;
  }
  step_ = drain_first ? step::drain_in : step::pause;
}

void sequence::on_reply(std::span<const std::byte> reply) {
  if (step_ != step::control) return;
  const std::size_t needed = setup().length;
  if (reply.size() < needed || reply.empty()) {
    last_ = status::failed;
    step_ = step::failed;
    return;
  }
  last_ = static_cast<status>(u8(reply[0]));
  if (!initiated_) {
    if (last_ == status::success) {
      initiated_ = true;
      // Bulk-IN: the device stops adding to the transfer but keeps what is queued, which the
      // host reads out before asking how the abort went. The others ask at once.
      step_ = kind_ == kind::abort_bulk_in ? step::drain_in : step::control;
      return;
    }
    // An abort of a transfer that is not in progress: FAILED means nothing is queued at all;
    // TRANSFER_NOT_IN_PROGRESS means another transfer's bytes may be, so Bulk-IN is read out.
    if (kind_ != kind::clear && last_ == status::failed) {
      step_ = step::done;
      return;
    }
    if (kind_ != kind::clear && last_ == status::transfer_not_in_progress) {
      step_ = kind_ == kind::abort_bulk_in ? step::drain_in : step::done;
      return;
    }
    step_ = step::failed;
    return;
  }
  if (last_ == status::pending) {
    // bit 0 of the second byte: Bulk-IN still holds data the host must read first (abort
    // Bulk-IN's bmAbortBulkIn, the clear's bmClear). Bulk-OUT's reply has no such bit.
    const bool queued = kind_ != kind::abort_bulk_out && (u8(reply[1]) & 0x01) != 0;
    check_again(queued);
    return;
  }
  if (last_ != status::success) {
    step_ = step::failed;
    return;
  }
  // The device halts Bulk-OUT while aborting or clearing it; the host lifts the halt.
  step_ = kind_ == kind::abort_bulk_in ? step::done : step::clear_halt;
}

void sequence::on_drained() {
  if (step_ != step::drain_in) return;
  // After a TRANSFER_NOT_IN_PROGRESS answer there is nothing to check: reading out was all.
  step_ = initiated_ ? step::control : step::done;
}

void sequence::on_paused() {
  if (step_ == step::pause) step_ = step::control;
}

void sequence::on_halt_cleared() {
  if (step_ == step::clear_halt) step_ = step::done;
}

}  // namespace kobrant::visa::usbtmc
