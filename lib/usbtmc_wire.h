// USBTMC / USB488 framing without I/O, shared by the USB transport, its tests and its fuzz
// target: the 12-byte Bulk-OUT and Bulk-IN headers, the class control requests and their
// replies, and the abort and clear sequences as state machines a test can drive without a
// device. Every multi-byte field is little-endian.
//
// Sources (USB-IF, USBTMC rev. 1.0 and its USB488 subclass rev. 1.0):
//   Bulk-OUT header, bTag 1..255 and its inverse, alignment ......... USBTMC 3.2, tables 1-3
//   REQUEST_DEV_DEP_MSG_IN, TermChar only when supported ............ USBTMC 3.2.1.2, table 4
//   Bulk-IN header, EOM and TermChar bits, short packet ends it ..... USBTMC 3.3, tables 8-9
//   Class requests, status values ................................... USBTMC 4.2.1, tables 15-16
//   INITIATE/CHECK_ABORT_BULK_OUT ................................... USBTMC 4.2.1.2-4.2.1.3
//   INITIATE/CHECK_ABORT_BULK_IN .................................... USBTMC 4.2.1.4-4.2.1.5
//   INITIATE_CLEAR / CHECK_CLEAR_STATUS ............................. USBTMC 4.2.1.6-4.2.1.7
//   GET_CAPABILITIES reply .......................................... USBTMC 4.2.1.8, table 37
//   READ_STATUS_BYTE, bTag 2..127, Interrupt-IN notification ........ USB488 4.3.1, 3.4.2
//   USB488 capabilities ............................................. USB488 4.2.2
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kobrant::visa::usbtmc {

inline constexpr std::size_t header_size = 12;

// MsgID of Bulk-OUT and Bulk-IN messages.
enum class msg_id : std::uint8_t {
  dev_dep_msg_out = 1,
  request_dev_dep_msg_in = 2,  // on Bulk-OUT; the Bulk-IN reply (DEV_DEP_MSG_IN) carries 2 too
  vendor_specific_out = 126,
  request_vendor_specific_in = 127,
  trigger = 128,  // USB488
};

// bmTransferAttributes bits.
inline constexpr std::uint8_t attr_eom = 0x01;       // the last byte ends the message (END)
inline constexpr std::uint8_t attr_termchar = 0x02;  // request: stop at TermChar; reply: stopped there

// bTag: 1..255, one per Bulk-OUT message, skipping 0 when it wraps.
constexpr std::uint8_t next_tag(std::uint8_t tag) { return tag == 255 ? 1 : static_cast<std::uint8_t>(tag + 1); }

// Bytes that follow data of size n so the transfer is a multiple of 4 long.
constexpr std::size_t alignment_padding(std::size_t n) { return (4 - n % 4) % 4; }

using header_bytes = std::array<std::byte, header_size>;

// DEV_DEP_MSG_OUT carrying size data bytes; eom marks the last byte of the message as END.
header_bytes dev_dep_msg_out(std::uint8_t tag, std::uint32_t size, bool eom);

// REQUEST_DEV_DEP_MSG_IN allowing the device up to size bytes. termchar is sent (with its bit)
// only when given: a caller passes it only when the device said it supports TermChar.
header_bytes request_dev_dep_msg_in(std::uint8_t tag, std::uint32_t size, std::optional<std::uint8_t> termchar);

// USB488 TRIGGER.
header_bytes trigger(std::uint8_t tag);

// A Bulk-IN DEV_DEP_MSG_IN header as read.
struct in_header {
  std::uint8_t tag = 0;
  std::uint32_t size = 0;  // data bytes in this transfer
  bool eom = false;
  bool termchar = false;
  bool operator==(const in_header&) const = default;
};

enum class in_check {
  ok,
  too_short,     // fewer than 12 bytes
  wrong_msg_id,  // not DEV_DEP_MSG_IN
  wrong_tag,     // bTag is not the request's (nor the tolerated earlier one)
  bad_inverse,   // byte 2 is not the inverse of bTag: not a header at all
  empty,         // no data and no EOM: the device has nothing yet
};

// Reads and checks a Bulk-IN header against the request it answers. tolerated_tag, when
// non-zero, is also accepted: the tag of the previous request of the same message, which some
// devices echo on every continuation. A size beyond the request is reported by the caller's
// own comparison (size > requested); this only checks the header's form.
in_check parse_in_header(std::span<const std::byte> bytes, std::uint8_t expected_tag, std::uint8_t tolerated_tag,
                         in_header& out);

// Tracks one device transfer on Bulk-IN across the USB transfers that carry it: where the data
// is in each piece, how much is still to come, and how long the next read must be so it ends
// by itself on the transfer's last byte (a multiple of the packet size when what remains is,
// so no zero-length packet is needed). Bytes a device sends beyond its header's size within
// the same transfer (alignment, or garbage) are dropped, never delivered.
class in_transfer {
 public:
  // Starts on the piece that holds the header (already checked).
  in_transfer(const in_header& header, std::size_t piece_size);
  // Data bytes of the first piece: [offset, offset + length).
  std::size_t first_offset() const { return header_size; }
  std::size_t first_length() const { return first_length_; }
  // Data bytes of a following piece of n bytes (the rest beyond the transfer is dropped).
  std::size_t take(std::size_t n);
  // Data bytes still to come.
  std::uint64_t data_left() const { return data_left_; }
  // Bytes still to come including alignment, which the device may or may not send.
  std::uint64_t bytes_left() const { return data_left_ + padding_left_; }
  // The length of the next read: what is left with its alignment, rounded up to packet_size,
  // capped at limit (itself a multiple of packet_size).
  std::size_t next_read(std::size_t packet_size, std::size_t limit) const;

 private:
  std::uint64_t data_left_ = 0;
  std::uint64_t padding_left_ = 0;
  std::size_t first_length_ = 0;
};

// The length of the first read of a reply to REQUEST_DEV_DEP_MSG_IN for requested bytes: the
// header, the data and its alignment in whole packets, and room for the short or zero-length
// packet that ends the reply (a packet more when it ends on a whole packet), capped at limit
// (itself a multiple of packet_size). One read then takes a reply that fits, its end included.
std::size_t first_read_length(std::uint32_t requested, std::size_t packet_size, std::size_t limit);

// Class-specific control requests (bRequest).
enum class request : std::uint8_t {
  initiate_abort_bulk_out = 1,
  check_abort_bulk_out_status = 2,
  initiate_abort_bulk_in = 3,
  check_abort_bulk_in_status = 4,
  initiate_clear = 5,
  check_clear_status = 6,
  get_capabilities = 7,
  indicator_pulse = 64,
  read_status_byte = 128,  // USB488
  ren_control = 160,       // USB488
  go_to_local = 161,       // USB488
  local_lockout = 162,     // USB488
};

// USBTMC_status values of their replies.
enum class status : std::uint8_t {
  success = 0x01,
  pending = 0x02,
  interrupt_in_busy = 0x20,  // USB488
  failed = 0x80,
  transfer_not_in_progress = 0x81,
  split_not_in_progress = 0x82,
  split_in_progress = 0x83,
};

// A class request as a control transfer: direction device-to-host always.
struct control_setup {
  std::uint8_t request_type = 0;  // 0xA1 interface, 0xA2 endpoint
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;  // bytes of the reply
  bool operator==(const control_setup&) const = default;
};

inline constexpr std::uint8_t to_interface = 0xA1;
inline constexpr std::uint8_t to_endpoint = 0xA2;

// The setup of request for interface (interface requests) or endpoint (endpoint requests);
// value carries the bTag where the request has one.
control_setup setup_for(request r, std::uint16_t interface_number, std::uint8_t endpoint, std::uint16_t value = 0);

// GET_CAPABILITIES, reduced to what the host uses.
struct capabilities {
  std::uint16_t bcd_usbtmc = 0;
  bool termchar = false;      // device capabilities bit 0: TermChar in requests supported
  bool listen_only = false;
  bool talk_only = false;
  bool indicator_pulse = false;
  std::uint16_t bcd_usb488 = 0;
  bool usb488_trigger = false;      // USB488 interface capabilities bit 0
  bool usb488_ren_control = false;  // bit 1
  bool usb488_488_2 = false;        // bit 2: an IEEE 488.2 interface
  bool usb488_scpi = false;         // USB488 device capabilities bit 3
  bool operator==(const capabilities&) const = default;
};

// Parses a GET_CAPABILITIES reply; nullopt when it is short or its status is not SUCCESS.
std::optional<capabilities> parse_capabilities(std::span<const std::byte> reply);

// READ_STATUS_BYTE: the reply (status, bTag, STB) and the Interrupt-IN notification that
// carries the byte instead on devices with an interrupt endpoint (0x80 | bTag, STB).
struct status_byte_reply {
  status code = status::failed;
  std::uint8_t tag = 0;
  std::uint8_t stb = 0;
};
std::optional<status_byte_reply> parse_status_byte_reply(std::span<const std::byte> reply);
// The STB of an Interrupt-IN packet answering READ_STATUS_BYTE with tag; nullopt for any
// other packet (an SRQ notification, another tag, a short one).
std::optional<std::uint8_t> parse_status_byte_notification(std::span<const std::byte> packet, std::uint8_t tag);
// READ_STATUS_BYTE tags run 2..127.
constexpr std::uint8_t next_stb_tag(std::uint8_t tag) { return tag >= 127 || tag < 2 ? 2 : static_cast<std::uint8_t>(tag + 1); }

// The abort and clear sequences. Each says what the host must do next; the transport does it
// and feeds the outcome back. The machines never loop by themselves: every step waits for an
// outcome, and the number of status checks is bounded (max_checks), after which the sequence
// fails. The transport bounds the whole by the operation's deadline as well.
enum class step {
  control,      // send setup() and feed the reply to on_reply()
  drain_in,     // read Bulk-IN until a short packet, then call on_drained()
  pause,        // wait a moment (the device asked to be polled again), then call on_paused()
  clear_halt,   // CLEAR_FEATURE(ENDPOINT_HALT) on halt_endpoint(), then call on_halt_cleared()
  done,
  failed,
};

inline constexpr int max_checks = 200;

class sequence {
 public:
  enum class kind { abort_bulk_in, abort_bulk_out, clear };
  // tag: the bTag of the transfer to abort (ignored for clear). in_endpoint/out_endpoint:
  // the bulk endpoint addresses; interface_number for the clear requests.
  sequence(kind k, std::uint8_t tag, std::uint16_t interface_number, std::uint8_t in_endpoint,
           std::uint8_t out_endpoint);

  step next() const { return step_; }
  control_setup setup() const;
  std::uint8_t halt_endpoint() const { return out_endpoint_; }
  // A short or malformed reply counts as a failure of the request.
  void on_reply(std::span<const std::byte> reply);
  void on_drained();
  void on_paused();
  void on_halt_cleared();
  // Why a failed sequence failed: the status the device gave (failed when it gave none usable).
  status last_status() const { return last_; }

 private:
  void check_again(bool drain_first);

  kind kind_;
  std::uint8_t tag_;
  std::uint16_t interface_;
  std::uint8_t in_endpoint_;
  std::uint8_t out_endpoint_;
  bool initiated_ = false;  // the INITIATE request was answered with SUCCESS
  int checks_ = 0;
  step step_ = step::control;
  status last_ = status::success;
};

}  // namespace kobrant::visa::usbtmc
