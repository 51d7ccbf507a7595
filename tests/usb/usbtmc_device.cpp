// The USBTMC/USB488 device model (see usbtmc_device.h).
#include "usbtmc_device.h"

#include <algorithm>
#include <cstring>

namespace kobrant::test {
namespace {

// Bulk-OUT / Bulk-IN message ids.
constexpr std::uint8_t dev_dep_msg_out = 1;
constexpr std::uint8_t request_dev_dep_msg_in = 2;
constexpr std::uint8_t dev_dep_msg_in = 2;
constexpr std::uint8_t vendor_specific_out = 126;
constexpr std::uint8_t request_vendor_specific_in = 127;
constexpr std::uint8_t usb488_trigger = 128;

// Class requests.
constexpr std::uint8_t initiate_abort_bulk_out = 1;
constexpr std::uint8_t check_abort_bulk_out_status = 2;
constexpr std::uint8_t initiate_abort_bulk_in = 3;
constexpr std::uint8_t check_abort_bulk_in_status = 4;
constexpr std::uint8_t initiate_clear = 5;
constexpr std::uint8_t check_clear_status = 6;
constexpr std::uint8_t get_capabilities = 7;
constexpr std::uint8_t indicator_pulse = 64;
constexpr std::uint8_t read_status_byte = 128;
constexpr std::uint8_t ren_control = 160;
constexpr std::uint8_t go_to_local = 161;
constexpr std::uint8_t local_lockout = 162;

// Class request status values.
constexpr std::uint8_t status_success = 0x01;
constexpr std::uint8_t status_pending = 0x02;
constexpr std::uint8_t status_failed = 0x80;
constexpr std::uint8_t status_transfer_not_in_progress = 0x81;

constexpr std::size_t header_size = 12;

std::size_t align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

std::uint32_t get_u32(std::span<const std::byte> b, std::size_t at) {
  return std::to_integer<std::uint32_t>(b[at]) | std::to_integer<std::uint32_t>(b[at + 1]) << 8 |
         std::to_integer<std::uint32_t>(b[at + 2]) << 16 | std::to_integer<std::uint32_t>(b[at + 3]) << 24;
}

void put_u32(std::byte* at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::byte>(v >> (8 * i));
}

std::uint8_t u8(std::byte b) { return std::to_integer<std::uint8_t>(b); }

std::string hex2(unsigned v) {
  static const char digits[] = "0123456789abcdef";
  return {digits[(v >> 4) & 15], digits[v & 15]};
}

}  // namespace

std::vector<std::byte> usbtmc_out_header(std::uint8_t msg_id, std::uint8_t btag, std::uint32_t transfer_size,
                                         std::uint8_t attributes, std::uint8_t term_char) {
  std::vector<std::byte> h(header_size);
  h[0] = std::byte{msg_id};
  h[1] = std::byte{btag};
  h[2] = static_cast<std::byte>(~btag);
  put_u32(h.data() + 4, transfer_size);
  h[8] = std::byte{attributes};
  h[9] = std::byte{term_char};
  return h;
}

usbtmc_device::usbtmc_device(usb_identity identity)
    : identity_(std::move(identity)), driver_bound_(identity_.kernel_driver_bound) {}

void usbtmc_device::set_quirks(unsigned quirks) {
  std::lock_guard lock(mutex_);
  quirks_ = quirks;
}

void usbtmc_device::set_failures(const usb_failures& failures) {
  std::lock_guard lock(mutex_);
  failures_ = failures;
}

void usbtmc_device::request_service(std::uint8_t status_byte) {
  std::lock_guard lock(mutex_);
  const std::string command = "STATUS " + std::to_string(status_byte);
  session_.respond(std::as_bytes(std::span(command.data(), command.size())));
  if ((status_byte & 0x40) != 0 && identity_.interrupt_in != 0) {
    interrupts_.push_back({std::byte{0x81}, static_cast<std::byte>(status_byte)});
  }
}

std::vector<std::uint8_t> usbtmc_device::descriptors() const {
  const auto& id = identity_;
  const bool has_serial = !id.serial.empty();
  std::vector<std::uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                                 std::uint8_t(id.vendor_id), std::uint8_t(id.vendor_id >> 8),
                                 std::uint8_t(id.product_id), std::uint8_t(id.product_id >> 8),
                                 0x00, 0x01, 1, 2, std::uint8_t(has_serial ? 3 : 0), 1};
  const std::uint8_t endpoints = id.interrupt_in != 0 ? 3 : 2;
  std::vector<std::uint8_t> interfaces;
  for (std::uint8_t alt = 0; alt < std::max<std::uint8_t>(id.alt_settings, 1); ++alt) {
    const std::vector<std::uint8_t> intf = {9, 4, id.interface_number, alt, endpoints, 0xFE, 0x03,
                                            id.interface_protocol, 0};
    interfaces.insert(interfaces.end(), intf.begin(), intf.end());
    const auto endpoint = [&](std::uint8_t address, std::uint8_t type, std::uint16_t size,
                              std::uint8_t interval) {
      const std::vector<std::uint8_t> ep = {7, 5, address, type, std::uint8_t(size),
                                            std::uint8_t(size >> 8), interval};
      interfaces.insert(interfaces.end(), ep.begin(), ep.end());
    };
    endpoint(id.bulk_out, 2, id.max_packet, 0);
    endpoint(id.bulk_in, 2, id.max_packet, 0);
    if (id.interrupt_in != 0) endpoint(id.interrupt_in, 3, 2, 8);
  }
  const std::size_t total = 9 + interfaces.size();
  const std::vector<std::uint8_t> config = {9, 2, std::uint8_t(total), std::uint8_t(total >> 8), 1, 1,
                                            0, 0x80, 50};
  d.insert(d.end(), config.begin(), config.end());
  d.insert(d.end(), interfaces.begin(), interfaces.end());
  return d;
}

std::string usbtmc_device::string_descriptor(std::uint8_t index) const {
  switch (index) {
    case 1: return identity_.manufacturer;
    case 2: return identity_.product;
    case 3: return identity_.serial;
    default: return {};
  }
}

void usbtmc_device::violation(std::string text) { violations_.push_back(std::move(text)); }

void usbtmc_device::check_btag(std::uint8_t msg_id, std::uint8_t btag, std::uint8_t inverse,
                               std::uint8_t zero) {
  if (btag == 0) violation("bTag 0 in a Bulk-OUT header (MsgID " + std::to_string(msg_id) + ")");
  if (inverse != static_cast<std::uint8_t>(~btag)) {
    violation("bTagInverse 0x" + hex2(inverse) + " is not the inverse of bTag 0x" + hex2(btag));
  }
  if (zero != 0) violation("reserved header byte 3 is 0x" + hex2(zero));
  if (last_btag_) {
    const std::uint8_t expected = *last_btag_ == 255 ? 1 : static_cast<std::uint8_t>(*last_btag_ + 1);
    if (btag != expected) {
      violation("bTag " + std::to_string(btag) + " after " + std::to_string(*last_btag_) +
                " (expected " + std::to_string(expected) + ")");
    }
  }
  last_btag_ = btag;
}

usb_result usbtmc_device::bulk_out(std::span<const std::byte> transfer) {
  std::lock_guard lock(mutex_);
  if (gone_) return {usb_status::gone, 0};
  if (halted_out_) return {usb_status::stall, 0};
  if (failures_.stall_bulk_out) {
    failures_.stall_bulk_out = false;
    halted_out_ = true;
    return {usb_status::stall, 0};
  }
  if (expect_out_halt_clear_) {
    violation("Bulk-OUT used after an abort or a clear without clearing its halt");
    expect_out_halt_clear_ = false;
  }
  if (transfer.size() % 4 != 0 && out_data_left_ == 0) {
    violation("Bulk-OUT transfer of " + std::to_string(transfer.size()) + " bytes is not a multiple of 4");
  }

  std::size_t at = 0;
  // The rest of a message that began in an earlier transfer.
  if (out_data_left_ > 0 || out_pad_left_ > 0) {
    const auto data = std::min<std::size_t>(out_data_left_, transfer.size());
    receive_message_bytes(transfer.subspan(0, data), false);
    out_data_left_ -= static_cast<std::uint32_t>(data);
    at = data;
    const auto pad = std::min<std::size_t>(out_pad_left_, transfer.size() - at);
    out_pad_left_ -= static_cast<std::uint32_t>(pad);
    at += pad;
    if (out_data_left_ == 0 && out_pad_left_ == 0 && out_eom_) finish_message(true);
  }

  bool first = true;
  while (at < transfer.size()) {
    if (!first) violation("several Bulk-OUT messages in one transfer");
    first = false;
    const auto rest = transfer.subspan(at);
    if (rest.size() < header_size) {
      violation("Bulk-OUT transfer of " + std::to_string(rest.size()) + " bytes is shorter than a header");
      return {usb_status::done, transfer.size()};
    }
    const std::uint8_t msg_id = u8(rest[0]);
    const std::uint8_t btag = u8(rest[1]);
    if (failures_.mute_out) {
      // The device takes nothing: the host's transfer waits until it gives up and aborts.
      blocked_out_btag_ = btag;
      return {usb_status::pending, 0};
    }
    check_btag(msg_id, btag, u8(rest[2]), u8(rest[3]));
    usbtmc_out_transfer header{msg_id, btag, get_u32(rest, 4), u8(rest[8]), u8(rest[9])};
    out_transfers_.push_back(header);
    if (msg_id == dev_dep_msg_out) {
      if (header.transfer_size == 0) violation("DEV_DEP_MSG_OUT with TransferSize 0");
      if ((header.attributes & ~1u) != 0 || rest[9] != std::byte{0} || rest[10] != std::byte{0} ||
          rest[11] != std::byte{0}) {
        violation("DEV_DEP_MSG_OUT header has reserved bits set");
      }
      const std::size_t whole = align4(header_size + header.transfer_size);
      const std::size_t data = std::min<std::size_t>(header.transfer_size, rest.size() - header_size);
      receive_message_bytes(rest.subspan(header_size, data), false);
      const bool eom = (header.attributes & 1) != 0;
      if (rest.size() >= whole) {
        for (std::size_t i = header_size + header.transfer_size; i < whole; ++i) {
          if (rest[i] != std::byte{0}) violation("non-zero alignment byte");
        }
        at += whole;
        if (eom) finish_message(true);
        else if (!incoming_.empty() && incoming_.back() == '\n') finish_message(false);
      } else if (rest.size() == header_size + header.transfer_size) {
        violation("DEV_DEP_MSG_OUT without alignment bytes to a multiple of 4");
        at = transfer.size();
        if (eom) finish_message(true);
      } else {
        // The message continues in the next transfer; a real device sees only packets.
        if (rest.size() % identity_.max_packet != 0) {
          violation("Bulk-OUT transfer ended by a short packet before its TransferSize");
        }
        out_data_left_ = static_cast<std::uint32_t>(header.transfer_size - data);
        out_pad_left_ = static_cast<std::uint32_t>(whole - header_size - header.transfer_size);
        out_eom_ = eom;
        out_btag_ = btag;
        at = transfer.size();
      }
    } else if (msg_id == request_dev_dep_msg_in) {
      if (rest.size() > header_size) violation("REQUEST_DEV_DEP_MSG_IN transfer longer than its header");
      if (header.transfer_size == 0) violation("REQUEST_DEV_DEP_MSG_IN with TransferSize 0");
      const bool term_char = (header.attributes & 2) != 0;
      if (term_char && !identity_.term_char) {
        violation("TermChar requested though the device does not support it");
      }
      if ((header.attributes & ~2u) != 0) violation("REQUEST_DEV_DEP_MSG_IN has reserved bits set");
      // A zero-length packet still owed for the last transfer goes out first, as a real
      // device's FIFO sends it; anything more unread is the host's mistake.
      const bool only_zlp_left = transfer_ && transfer_->position == transfer_->bytes.size();
      if (request_ || (transfer_ && !transfer_->aborted && !only_zlp_left)) {
        violation("REQUEST_DEV_DEP_MSG_IN while the previous one is still being answered");
      }
      if (!only_zlp_left) transfer_.reset();
      request_ = request{btag, header.transfer_size, term_char, header.term_char,
                         std::chrono::steady_clock::now() + failures_.late_answer};
      at = transfer.size();
    } else if (msg_id == usb488_trigger) {
      at += header_size;
    } else if (msg_id == vendor_specific_out || msg_id == request_vendor_specific_in) {
      violation("vendor-specific message sent");
      at = transfer.size();
    } else {
      violation("unknown MsgID " + std::to_string(msg_id));
      at = transfer.size();
    }
  }
  return {usb_status::done, transfer.size()};
}

void usbtmc_device::receive_message_bytes(std::span<const std::byte> data, bool) {
  incoming_.append(reinterpret_cast<const char*>(data.data()), data.size());
}

void usbtmc_device::finish_message(bool end) {
  messages_.push_back({incoming_, end});
  // A new message discards an answer nobody read, as an IEEE 488.2 device does.
  discard_output();
  auto answer = session_.respond(std::as_bytes(std::span(incoming_.data(), incoming_.size())));
  incoming_.clear();
  if (answer.size() > 0 && !failures_.mute) response_ = std::move(answer);
}

void usbtmc_device::discard_output() {
  response_.reset();
  staged_.clear();
  reply_bytes_sent_ = 0;
  message_btag_.reset();
}

std::uint8_t usbtmc_device::status_byte() const {
  const bool waiting = (response_ && !response_->done()) || !staged_.empty();
  return static_cast<std::uint8_t>(session_.status_bits() | (waiting ? sim::status_mav : 0));
}

bool usbtmc_device::start_in_transfer() {
  if (!request_ || (!response_ && staged_.empty())) return false;
  if (std::chrono::steady_clock::now() < request_->ready_at) return false;
  const request req = *request_;
  request_.reset();

  std::size_t want = std::min<std::size_t>(req.size, failures_.max_transfer);
  if ((quirks_ & quirk_more_than_asked) != 0) want = std::min<std::size_t>(want + 100, failures_.max_transfer + 100);
  while (staged_.size() < want && response_ && !response_->done()) {
    const auto piece = response_->next(want - staged_.size());
    staged_.insert(staged_.end(), piece.begin(), piece.end());
  }
  std::size_t count = std::min(want, staged_.size());
  bool term_char_hit = false;
  if (req.term_char_enabled && identity_.term_char) {
    const auto stop = std::find(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(count),
                                static_cast<std::byte>(req.term_char));
    if (stop != staged_.begin() + static_cast<std::ptrdiff_t>(count)) {
      count = static_cast<std::size_t>(stop - staged_.begin()) + 1;
      term_char_hit = true;
    }
  }
  const bool last = count == staged_.size() && (!response_ || response_->done());
  std::uint8_t btag = req.btag;
  if (!message_btag_) message_btag_ = req.btag;
  else if ((quirks_ & quirk_wrong_btag_continuation) != 0) btag = *message_btag_;

  in_transfer t;
  t.bytes.resize(align4(header_size + count));
  auto* b = t.bytes.data();
  b[0] = std::byte{dev_dep_msg_in};
  b[1] = static_cast<std::byte>(btag);
  b[2] = static_cast<std::byte>(~btag);
  put_u32(b + 4, static_cast<std::uint32_t>(count));
  const bool eom = last || (quirks_ & quirk_eom_every_transfer) != 0;
  b[8] = static_cast<std::byte>((eom ? 1 : 0) | (term_char_hit ? 2 : 0));
  std::copy_n(staged_.begin(), count, b + header_size);
  staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(count));
  t.data_bytes = count;
  const bool zlp = (quirks_ & quirk_no_zlp) == 0;
  const auto run_end = [&](std::size_t end) {
    t.segments.push_back({end, zlp && end > 0 && (end - (t.segments.empty() ? 0 : t.segments.back().end)) %
                                                         identity_.max_packet == 0});
  };
  if ((quirks_ & quirk_split_header) != 0 && count > 0) run_end(header_size);
  run_end(t.bytes.size());
  transfer_ = std::move(t);
  if (last) {
    response_.reset();
    message_btag_.reset();
  }
  return true;
}

usb_result usbtmc_device::bulk_in(std::span<std::byte> space) {
  std::lock_guard lock(mutex_);
  if (space.size() % identity_.max_packet != 0) {
    violation("Bulk-IN buffer of " + std::to_string(space.size()) + " bytes is not a multiple of wMaxPacketSize");
  }
  std::size_t n = 0;
  for (;;) {
    if (gone_) return {usb_status::gone, n};
    if (halted_in_) return {usb_status::stall, n};
    if (n == space.size() && n > 0) return {usb_status::done, n};
    if (!transfer_) {
      if (!start_in_transfer()) return {usb_status::pending, n};
      if (failures_.stall_bulk_in) {
        failures_.stall_bulk_in = false;
        halted_in_ = true;
        transfer_.reset();
        return {usb_status::stall, n};
      }
    }
    auto& t = *transfer_;
    const auto& seg = t.segments[t.segment_index];
    const std::size_t left = seg.end - t.position;
    const auto finish_segment = [&] {
      ++t.segment_index;
      if (t.segment_index == t.segments.size()) transfer_.reset();
    };
    if (left == 0) {
      // A zero-length packet ends the run (and the host's transfer).
      finish_segment();
      return {usb_status::done, n};
    }
    const std::size_t packet = std::min<std::size_t>(identity_.max_packet, left);
    if (packet > space.size() - n) {
      if (n == 0) violation("Bulk-IN buffer smaller than one packet");
      return {usb_status::overflow, n};
    }
    if (failures_.unplug_after) {
      const std::uint64_t data_start = reply_bytes_sent_;
      if (data_start + packet > *failures_.unplug_after) {
        gone_ = true;
        return {usb_status::gone, n};
      }
    }
    std::memcpy(space.data() + n, t.bytes.data() + t.position, packet);
    n += packet;
    t.position += packet;
    reply_bytes_sent_ += packet;
    if (t.position == seg.end) {
      if (packet < identity_.max_packet) {
        finish_segment();
        return {usb_status::done, n};
      }
      if (!seg.zlp) finish_segment();  // no ZLP: the host's transfer waits for more packets
      // else: the ZLP is due next, taken by this transfer or the host's next one
    }
  }
}

usb_result usbtmc_device::interrupt_in(std::span<std::byte> space) {
  std::lock_guard lock(mutex_);
  if (gone_) return {usb_status::gone, 0};
  if (interrupts_.empty()) return {usb_status::pending, 0};
  if (space.size() < 2) return {usb_status::overflow, 0};
  std::copy_n(interrupts_.front().begin(), 2, space.begin());
  interrupts_.pop_front();
  return {usb_status::done, 2};
}

usb_result usbtmc_device::control(const usb_setup& setup, std::span<std::byte> data) {
  std::lock_guard lock(mutex_);
  if (gone_) return {usb_status::gone, 0};
  if ((setup.request_type & 0x60) == 0x20) return class_request(setup, data);
  if ((setup.request_type & 0x60) == 0x00) return standard_request(setup, data);
  violation("vendor control request " + std::to_string(setup.request));
  return {usb_status::stall, 0};
}

void usbtmc_device::end_current_transfer_early() {
  // What is already in the FIFO still goes out, at most one packet, then a short packet ends it.
  if (transfer_) {
    auto& t = *transfer_;
    const std::size_t keep = std::min<std::size_t>(t.bytes.size() - t.position, identity_.max_packet);
    t.bytes.resize(t.position + keep);
    t.segments = {{t.bytes.size(), keep == identity_.max_packet}};
    t.segment_index = 0;
    t.aborted = true;
    aborted_in_bytes_ = static_cast<std::uint32_t>(t.position);
  } else {
    in_transfer t;
    t.segments = {{0, true}};
    t.aborted = true;
    transfer_ = std::move(t);
    aborted_in_bytes_ = 0;
  }
}

usb_result usbtmc_device::class_request(const usb_setup& setup, std::span<std::byte> data) {
  ++class_counts_[setup.request];
  const bool to_interface = setup.request_type == 0xA1;
  const bool to_endpoint = setup.request_type == 0xA2;
  const auto expect = [&](bool recipient_ok, std::uint16_t index, std::uint16_t length) {
    if (!recipient_ok) violation("class request " + std::to_string(setup.request) + " with bmRequestType 0x" + hex2(setup.request_type));
    if (setup.index != index) violation("class request " + std::to_string(setup.request) + " with wIndex " + std::to_string(setup.index));
    if (setup.length != length) violation("class request " + std::to_string(setup.request) + " with wLength " + std::to_string(setup.length));
    return setup.length == length && data.size() >= length;
  };
  const auto reply = [&](std::initializer_list<std::uint8_t> bytes) {
    std::size_t i = 0;
    for (const auto b : bytes) {
      if (i < data.size()) data[i] = static_cast<std::byte>(b);
      ++i;
    }
    return usb_result{usb_status::done, std::min(i, data.size())};
  };
  const std::uint8_t intf = identity_.interface_number;
  switch (setup.request) {
    case initiate_abort_bulk_out: {
      if (!expect(to_endpoint, identity_.bulk_out, 2)) return {usb_status::stall, 0};
      const auto btag = static_cast<std::uint8_t>(setup.value);
      const bool in_progress = blocked_out_btag_ || out_data_left_ > 0 || out_pad_left_ > 0;
      const std::uint8_t current = blocked_out_btag_ ? *blocked_out_btag_ : out_btag_;
      if (!in_progress) return reply({status_transfer_not_in_progress, btag});
      if (btag != current) return reply({status_failed, btag});
      aborted_out_bytes_ = static_cast<std::uint32_t>(incoming_.size());
      if (blocked_out_btag_) last_btag_ = *blocked_out_btag_;  // the aborted message used it
      blocked_out_btag_.reset();
      failures_.mute_out = false;
      out_data_left_ = out_pad_left_ = 0;
      incoming_.clear();
      abort_out_started_ = true;
      checks_left_ = failures_.pending_checks;
      return reply({status_success, btag});
    }
    case check_abort_bulk_out_status: {
      if (!expect(to_endpoint, identity_.bulk_out, 8)) return {usb_status::stall, 0};
      if (!abort_out_started_) violation("CHECK_ABORT_BULK_OUT_STATUS without INITIATE_ABORT_BULK_OUT");
      if (checks_left_ > 0) {
        --checks_left_;
        return reply({status_pending, 0, 0, 0, 0, 0, 0, 0});
      }
      abort_out_started_ = false;
      expect_out_halt_clear_ = true;
      const auto n = aborted_out_bytes_;
      return reply({status_success, 0, 0, 0, std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16),
                    std::uint8_t(n >> 24)});
    }
    case initiate_abort_bulk_in: {
      if (!expect(to_endpoint, identity_.bulk_in, 2)) return {usb_status::stall, 0};
      const auto btag = static_cast<std::uint8_t>(setup.value);
      std::optional<std::uint8_t> current;
      if (transfer_ && !transfer_->aborted) current = u8(transfer_->bytes[1]);
      else if (request_) current = request_->btag;
      if (!current) return reply({status_failed, btag});
      if (*current != btag && !(message_btag_ && *message_btag_ == btag)) {
        return reply({status_transfer_not_in_progress, btag});
      }
      request_.reset();
      end_current_transfer_early();
      discard_output();
      abort_in_started_ = true;
      checks_left_ = failures_.pending_checks;
      return reply({status_success, btag});
    }
    case check_abort_bulk_in_status: {
      if (!expect(to_endpoint, identity_.bulk_in, 8)) return {usb_status::stall, 0};
      if (!abort_in_started_) violation("CHECK_ABORT_BULK_IN_STATUS without INITIATE_ABORT_BULK_IN");
      const bool queued = transfer_.has_value();
      if (queued || checks_left_ > 0) {
        if (checks_left_ > 0) --checks_left_;
        return reply({status_pending, std::uint8_t(queued ? 1 : 0), 0, 0, 0, 0, 0, 0});
      }
      abort_in_started_ = false;
      const auto n = aborted_in_bytes_;
      return reply({status_success, 0, 0, 0, std::uint8_t(n), std::uint8_t(n >> 8), std::uint8_t(n >> 16),
                    std::uint8_t(n >> 24)});
    }
    case initiate_clear: {
      if (!expect(to_interface, intf, 1)) return {usb_status::stall, 0};
      incoming_.clear();
      out_data_left_ = out_pad_left_ = 0;
      blocked_out_btag_.reset();
      request_.reset();
      transfer_.reset();
      discard_output();
      clear_started_ = true;
      checks_left_ = failures_.pending_checks;
      return reply({status_success});
    }
    case check_clear_status: {
      if (!expect(to_interface, intf, 2)) return {usb_status::stall, 0};
      if (!clear_started_) violation("CHECK_CLEAR_STATUS without INITIATE_CLEAR");
      if (checks_left_ > 0) {
        --checks_left_;
        return reply({status_pending, 0});
      }
      clear_started_ = false;
      expect_out_halt_clear_ = true;
      return reply({status_success, 0});
    }
    case get_capabilities: {
      if (!expect(to_interface, intf, 0x18)) return {usb_status::stall, 0};
      const bool usb488 = identity_.interface_protocol == 1;
      return reply({status_success, 0, 0x00, 0x01, 0x04, std::uint8_t(identity_.term_char ? 1 : 0), 0, 0,
                    0, 0, 0, 0, 0x00, std::uint8_t(usb488 ? 0x01 : 0x00), std::uint8_t(usb488 ? 0x07 : 0),
                    std::uint8_t(usb488 ? 0x0F : 0), 0, 0, 0, 0, 0, 0, 0, 0});
    }
    case indicator_pulse:
    case ren_control:
    case go_to_local:
    case local_lockout:
      if (!expect(to_interface, intf, 1)) return {usb_status::stall, 0};
      if (setup.request != indicator_pulse && identity_.interface_protocol != 1) return {usb_status::stall, 0};
      return reply({status_success});
    case read_status_byte: {
      if (!expect(to_interface, intf, 3)) return {usb_status::stall, 0};
      if (identity_.interface_protocol != 1) return {usb_status::stall, 0};
      const auto btag = static_cast<std::uint8_t>(setup.value);
      if (btag < 2 || btag > 127) violation("READ_STATUS_BYTE bTag " + std::to_string(btag) + " outside 2..127");
      const std::uint8_t stb = status_byte();
      if (identity_.interrupt_in != 0) {
        interrupts_.push_back({static_cast<std::byte>(0x80 | btag), static_cast<std::byte>(stb)});
        return reply({status_success, btag, 0});
      }
      return reply({status_success, btag, stb});
    }
    default:
      violation("unknown class request " + std::to_string(setup.request));
      return {usb_status::stall, 0};
  }
}

usb_result usbtmc_device::standard_request(const usb_setup& setup, std::span<std::byte> data) {
  constexpr std::uint8_t get_status = 0, clear_feature = 1, set_configuration_request = 9,
                         get_descriptor = 6, set_interface_request = 11;
  switch (setup.request) {
    case get_status: {
      const std::size_t n = std::min<std::size_t>(2, data.size());
      std::fill_n(data.begin(), n, std::byte{0});
      if (setup.request_type == 0x82 && n == 2) {
        const bool halted = (setup.index == identity_.bulk_in && halted_in_) ||
                            (setup.index == identity_.bulk_out && halted_out_);
        data[0] = std::byte{halted ? std::uint8_t{1} : std::uint8_t{0}};
      }
      return {usb_status::done, n};
    }
    case clear_feature:
      if (setup.request_type == 0x02 && setup.value == 0) {
        clear_halt_locked(static_cast<std::uint8_t>(setup.index));
        return {usb_status::done, 0};
      }
      return {usb_status::stall, 0};
    case set_configuration_request:
      set_configuration_locked(setup.value);
      return {usb_status::done, 0};
    case set_interface_request:
      set_interface_locked(setup.index, setup.value);
      return {usb_status::done, 0};
    case get_descriptor: {
      const std::uint8_t type = static_cast<std::uint8_t>(setup.value >> 8);
      const std::uint8_t index = static_cast<std::uint8_t>(setup.value);
      std::vector<std::uint8_t> d;
      const auto all = descriptors();
      if (type == 1) d.assign(all.begin(), all.begin() + 18);
      else if (type == 2) d.assign(all.begin() + 18, all.end());
      else if (type == 3 && index == 0) d = {4, 3, 0x09, 0x04};
      else if (type == 3) {
        const std::string text = string_descriptor(index);
        if (text.empty()) return {usb_status::stall, 0};
        d = {std::uint8_t(2 + 2 * text.size()), 3};
        for (const char c : text) d.insert(d.end(), {std::uint8_t(c), 0});
      } else {
        return {usb_status::stall, 0};
      }
      const std::size_t n = std::min(d.size(), data.size());
      std::memcpy(data.data(), d.data(), n);
      return {usb_status::done, n};
    }
    default:
      return {usb_status::stall, 0};
  }
}

void usbtmc_device::clear_halt(std::uint8_t endpoint) {
  std::lock_guard lock(mutex_);
  clear_halt_locked(endpoint);
}

void usbtmc_device::clear_halt_locked(std::uint8_t endpoint) {
  ++halt_clears_[endpoint];
  if (endpoint == identity_.bulk_in) halted_in_ = false;
  if (endpoint == identity_.bulk_out) {
    halted_out_ = false;
    expect_out_halt_clear_ = false;
  }
}

void usbtmc_device::set_configuration(int value) {
  std::lock_guard lock(mutex_);
  set_configuration_locked(value);
}

void usbtmc_device::set_configuration_locked(int value) {
  if (value == configuration_) violation("SET_CONFIGURATION " + std::to_string(value) + " though it is already active");
  configuration_ = value;
}

void usbtmc_device::set_interface(int interface_number, int alt_setting) {
  std::lock_guard lock(mutex_);
  set_interface_locked(interface_number, alt_setting);
}

void usbtmc_device::set_interface_locked(int interface_number, int alt_setting) {
  if (identity_.alt_settings <= 1) {
    violation("SET_INTERFACE " + std::to_string(interface_number) + "/" + std::to_string(alt_setting) +
              " on an interface with a single alternate setting");
  }
}

void usbtmc_device::reset_device() {
  std::lock_guard lock(mutex_);
  violation("device reset");
}

bool usbtmc_device::claim_interface(int interface_number) {
  std::lock_guard lock(mutex_);
  if (interface_number != identity_.interface_number || claimed_ || driver_bound_) return false;
  claimed_ = true;
  // A new owner numbers its messages afresh.
  last_btag_.reset();
  return true;
}

bool usbtmc_device::release_interface(int interface_number) {
  std::lock_guard lock(mutex_);
  if (interface_number != identity_.interface_number || !claimed_) return false;
  claimed_ = false;
  return true;
}

bool usbtmc_device::detach_kernel_driver(int interface_number) {
  std::lock_guard lock(mutex_);
  if (interface_number != identity_.interface_number || !driver_bound_) return false;
  driver_bound_ = false;
  return true;
}

bool usbtmc_device::attach_kernel_driver(int interface_number) {
  std::lock_guard lock(mutex_);
  if (interface_number != identity_.interface_number || driver_bound_ || claimed_) return false;
  driver_bound_ = true;
  return true;
}

bool usbtmc_device::kernel_driver_bound() const {
  std::lock_guard lock(mutex_);
  return driver_bound_;
}

void usbtmc_device::unplug() {
  std::lock_guard lock(mutex_);
  gone_ = true;
}

bool usbtmc_device::unplugged() const {
  std::lock_guard lock(mutex_);
  return gone_;
}

std::vector<usbtmc_out_transfer> usbtmc_device::out_transfers() const {
  std::lock_guard lock(mutex_);
  return out_transfers_;
}

std::vector<usbtmc_message> usbtmc_device::messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> usbtmc_device::violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

unsigned usbtmc_device::class_requests(std::uint8_t request) const {
  std::lock_guard lock(mutex_);
  return class_counts_[request];
}

unsigned usbtmc_device::halts_cleared(std::uint8_t endpoint) const {
  std::lock_guard lock(mutex_);
  return halt_clears_[endpoint];
}

}  // namespace kobrant::test
