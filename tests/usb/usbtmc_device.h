// A USBTMC/USB488 instrument as its endpoints see it, for the USB tests: Bulk-OUT transfers in,
// Bulk-IN and Interrupt-IN transfers out, class and standard control requests, halts. It
// answers like the simulated instrument (it reuses its answer logic), can bend the protocol the
// way real devices do or fail on purpose, and checks the host's side of the protocol, keeping
// each breach as a violation a test can assert is absent. Plain C++, no emulation attached: the
// usbfs emulation (usbfs_emulation.h) feeds it URBs, the unit tests call it directly.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "instrument.h"

namespace kobrant::test {

// What the device looks like on the bus; the defaults are the tests' usual instrument.
struct usb_identity {
  std::uint16_t vendor_id = 0x1234;
  std::uint16_t product_id = 0x5678;
  std::string serial = "SN1";  // empty: the device has no serial number
  std::string manufacturer = "KOBRANT";
  std::string product = "SIM-1 USB";
  std::uint8_t interface_number = 0;
  std::uint8_t interface_protocol = 1;  // 0 plain USBTMC, 1 USB488
  std::uint8_t alt_settings = 1;        // alternate settings of the TMC interface
  std::uint8_t bulk_out = 0x01;
  std::uint8_t bulk_in = 0x82;
  std::uint8_t interrupt_in = 0x83;  // 0: no Interrupt-IN endpoint
  std::uint16_t max_packet = 512;
  int busnum = 1;
  int devnum = 2;
  bool term_char = true;            // GET_CAPABILITIES: TermChar supported
  bool kernel_driver_bound = true;  // the usbtmc driver holds the interface at first
};

// Ways a device bends the protocol; the host should tolerate each or report it cleanly.
enum usb_quirk : unsigned {
  quirk_split_header = 1u << 0,        // the 12-byte header alone, the data in a transfer of its own
  quirk_eom_every_transfer = 1u << 1,  // EOM set on transfers that do not end the message
  quirk_more_than_asked = 1u << 2,     // a transfer larger than the TransferSize requested
  quirk_no_zlp = 1u << 3,              // no zero-length packet after a full last packet
  quirk_wrong_btag_continuation = 1u << 4,  // later transfers of a message echo its first bTag
};

// Failures the device can be told to show.
struct usb_failures {
  bool stall_bulk_in = false;       // the next Bulk-IN transfer halts the endpoint
  bool stall_bulk_out = false;      // the next Bulk-OUT transfer halts the endpoint
  bool mute = false;                // never answers (every Bulk-IN request waits)
  bool mute_out = false;            // the next Bulk-OUT message is never accepted (NAK)
  std::chrono::milliseconds late_answer{0};  // answers become ready this long after the request
  // Vanishes before a packet would take the reply's Bulk-IN bytes (headers included) past this.
  std::optional<std::uint64_t> unplug_after{};
  unsigned pending_checks = 0;      // CHECK_* requests answer PENDING this many times first
  std::size_t max_transfer = std::size_t{4} << 20;  // most data bytes in one Bulk-IN transfer
};

// A completed USB setup packet (little-endian fields already decoded).
struct usb_setup {
  std::uint8_t request_type = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

enum class usb_status {
  done,      // the transfer completed
  pending,   // nothing to complete it yet (the device NAKs); try again later
  stall,     // the endpoint halted (EPIPE)
  gone,      // the device is unplugged (ENODEV)
  overflow,  // a packet did not fit the host's buffer (EOVERFLOW)
};

struct usb_result {
  usb_status status = usb_status::done;
  std::size_t length = 0;  // bytes moved
};

// One DEV_DEP_MSG_OUT or REQUEST_DEV_DEP_MSG_IN as the device received it.
struct usbtmc_out_transfer {
  std::uint8_t msg_id = 0;
  std::uint8_t btag = 0;
  std::uint32_t transfer_size = 0;
  std::uint8_t attributes = 0;  // EOM (bit 0) for data, TermChar enabled (bit 1) for requests
  std::uint8_t term_char = 0;
};

// One device-dependent message the instrument received, and whether EOM ended it.
struct usbtmc_message {
  std::string bytes;
  bool end = false;
};

// A Bulk-OUT header as a host builds it (bTag, its inverse, TransferSize, attributes), for the
// test hosts that drive the model.
std::vector<std::byte> usbtmc_out_header(std::uint8_t msg_id, std::uint8_t btag, std::uint32_t transfer_size,
                                         std::uint8_t attributes, std::uint8_t term_char = 0);

class usbtmc_device {
 public:
  explicit usbtmc_device(usb_identity identity = {});

  const usb_identity& identity() const { return identity_; }
  void set_quirks(unsigned quirks);
  void set_failures(const usb_failures& failures);
  // Sets the status byte bits of the instrument, as STATUS n would, and queues an SRQ
  // notification on the Interrupt-IN endpoint when rqs is set.
  void request_service(std::uint8_t status_byte);

  // The device and configuration descriptors, as sysfs "descriptors" holds them.
  std::vector<std::uint8_t> descriptors() const;
  // String descriptor index: 1 manufacturer, 2 product, 3 serial (0 when absent).
  std::string string_descriptor(std::uint8_t index) const;

  // Endpoint traffic. bulk_out takes one whole transfer; bulk_in and interrupt_in append
  // packets to the space the host offers (what is left of its buffer) and report done once a
  // short packet arrived or the space is full.
  usb_result bulk_out(std::span<const std::byte> transfer);
  usb_result bulk_in(std::span<std::byte> space);
  usb_result interrupt_in(std::span<std::byte> space);
  // A control transfer on endpoint 0: data holds wLength bytes (input for OUT requests, filled
  // for IN requests); the result's length is the data stage's length.
  usb_result control(const usb_setup& setup, std::span<std::byte> data);

  // Standard requests the host issues through usbfs rather than as control transfers.
  void clear_halt(std::uint8_t endpoint);
  void set_configuration(int value);
  void set_interface(int interface_number, int alt_setting);
  void reset_device();
  // Interface ownership: false when the interface is not the device's or is already held.
  bool claim_interface(int interface_number);
  bool release_interface(int interface_number);
  bool detach_kernel_driver(int interface_number);
  bool attach_kernel_driver(int interface_number);
  bool kernel_driver_bound() const;

  void unplug();
  bool unplugged() const;

  // What the host did: every Bulk-OUT message header, every device-dependent message with its
  // END, and each breach of the protocol on its side, in order.
  std::vector<usbtmc_out_transfer> out_transfers() const;
  std::vector<usbtmc_message> messages() const;
  std::vector<std::string> violations() const;
  // Counts of the class requests served (by bRequest) and of halts cleared, for tests that
  // check a recovery happened.
  unsigned class_requests(std::uint8_t request) const;
  unsigned halts_cleared(std::uint8_t endpoint) const;

 private:
  struct segment {
    std::size_t end = 0;  // position in transfer_ where a packet run ends
    bool zlp = false;     // a zero-length packet follows a full last packet
  };
  // One Bulk-IN transfer being sent: header, data, padding, in runs ended by a short packet.
  struct in_transfer {
    std::vector<std::byte> bytes;
    std::vector<segment> segments;
    std::size_t position = 0;
    std::size_t segment_index = 0;
    std::size_t zlp_owed_at = SIZE_MAX;  // a ZLP is due once position reaches this
    std::uint64_t data_bytes = 0;
    bool aborted = false;
  };
  struct request {
    std::uint8_t btag = 0;
    std::uint32_t size = 0;
    bool term_char_enabled = false;
    std::uint8_t term_char = 0;
    std::chrono::steady_clock::time_point ready_at;
  };

  void violation(std::string text);
  void check_btag(std::uint8_t msg_id, std::uint8_t btag, std::uint8_t inverse, std::uint8_t zero);
  void receive_message_bytes(std::span<const std::byte> data, bool eom);
  void finish_message(bool end);
  bool start_in_transfer();
  void end_current_transfer_early();
  void discard_output();
  usb_result class_request(const usb_setup& setup, std::span<std::byte> data);
  usb_result standard_request(const usb_setup& setup, std::span<std::byte> data);
  std::uint8_t status_byte() const;
  void clear_halt_locked(std::uint8_t endpoint);
  void set_configuration_locked(int value);
  void set_interface_locked(int interface_number, int alt_setting);

  mutable std::mutex mutex_;
  usb_identity identity_;
  unsigned quirks_ = 0;
  usb_failures failures_;

  sim::instrument_session session_;
  std::optional<sim::response> response_;
  std::vector<std::byte> staged_;  // bytes taken from response_ but not sent yet
  std::uint64_t reply_bytes_sent_ = 0;
  std::optional<std::uint8_t> message_btag_;  // bTag of the first transfer of the reply

  std::string incoming_;  // the message being received
  // A DEV_DEP_MSG_OUT whose data continue in the next Bulk-OUT transfer.
  std::uint32_t out_data_left_ = 0;
  std::uint32_t out_pad_left_ = 0;
  bool out_eom_ = false;
  std::uint8_t out_btag_ = 0;
  std::optional<std::uint8_t> blocked_out_btag_;  // a message NAKed by mute_out

  std::optional<request> request_;
  std::optional<in_transfer> transfer_;
  std::deque<std::array<std::byte, 2>> interrupts_;

  std::optional<std::uint8_t> last_btag_;
  bool halted_in_ = false;
  bool halted_out_ = false;
  bool gone_ = false;
  bool expect_out_halt_clear_ = false;  // an abort or clear finished; CLEAR_FEATURE(HALT) on Bulk-OUT due
  unsigned checks_left_ = 0;
  bool abort_in_started_ = false;
  bool abort_out_started_ = false;
  bool clear_started_ = false;
  std::uint32_t aborted_in_bytes_ = 0;
  std::uint32_t aborted_out_bytes_ = 0;
  int configuration_ = 1;
  bool claimed_ = false;
  bool driver_bound_ = true;

  std::vector<usbtmc_out_transfer> out_transfers_;
  std::vector<usbtmc_message> messages_;
  std::vector<std::string> violations_;
  unsigned class_counts_[256] = {};
  unsigned halt_clears_[256] = {};
};

}  // namespace kobrant::test
