// USB INSTR: an instrument with a USBTMC (or USB488) interface, USB[board]::vid::pid::serial
// [::interface][::INSTR], reached through libusb-1.0 in user space. The framing, the class
// requests and the abort and clear sequences are in usbtmc_wire.h; this file moves them over
// the bus. Built without libusb, the row stays and its open says why it cannot serve.
//
// Open: the device is matched by the sysfs walk (usb_devices.h), so devices are told apart
// without opening any of them; one device is opened, its TMC interface claimed with the kernel
// driver detached from that interface only (and re-attached on close). The device is never
// reset, a configuration is set only when the device has none, an alternate setting only when
// the interface has several. GET_CAPABILITIES says whether TermChar may be sent.
//
// Transfers are asynchronous, driven by poll() over libusb's descriptors and the session's
// wake-up, so a deadline, a closing session or a signal ends every wait, and no wait is ever
// handed to libusb as "forever". Bulk-IN reads are whole packets: the first read of a reply is
// sized to the whole reply asked for (header, data, alignment), so a reply that fits costs one
// read; the following ones are exactly what the header says is left, rounded up to whole
// packets, so each ends by itself. A device that leaves out the zero-length packet after a reply
// ending on a whole packet short of the first read cannot hold it up: that read is taken back
// after a look and what it holds is used.
#include "attributes.h"
#include "message_end.h"
#include "transport.h"
#include "usb_devices.h"
#include "usbtmc_kernel.h"
#include "usbtmc_wire.h"

#include <algorithm>
#include <cstring>

#if KOBRANT_HAVE_LIBUSB
#include <libusb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <random>
#endif

namespace kobrant::visa {
namespace {

// Unused in a build without libusb, whose row lists nothing it could not open.
[[maybe_unused]] void list_usb_instruments(std::vector<std::string>& names) {
  for (const auto& tmc : usb::find_tmc_interfaces())
    if (auto name = usb::resource_name_of(tmc)) names.push_back(std::move(*name));
}

constexpr ViAttr usb_name_attributes[] = {VI_ATTR_MANF_ID, VI_ATTR_MODEL_CODE, VI_ATTR_USB_SERIAL_NUM};

ViStatus get_usb_name_attribute(const resource_name& name, ViAttr attr, void* out) {
  const auto& usb = std::get<usb_address>(name.address);
  if (attr == VI_ATTR_USB_SERIAL_NUM) return put_attribute_string(usb.serial_number, out);
  *static_cast<ViUInt16*>(out) = attr == VI_ATTR_MANF_ID ? usb.vendor_id : usb.product_id;
  return VI_SUCCESS;
}

#if KOBRANT_HAVE_LIBUSB

using namespace usbtmc;

// Bytes one USB transfer carries at most: a multiple of every packet size (64, 512, 1024).
constexpr std::size_t transfer_limit = 256 * 1024;
// After a timeout, the abort sequence gets this long of its own (the operation's time is gone).
constexpr ViUInt32 recovery_ms = 1000;
// Reading out Bulk-IN during an abort or a clear: the device has put its data (at least a short
// packet) there already, so each read waits only this long.
constexpr ViUInt32 drain_read_ms = 300;
constexpr int max_drain_reads = 100;
// Between two status checks the device asked to be polled again.
constexpr int check_pause_ms = 10;
// A cancelled transfer is given back by the kernel at once; this only bounds a broken system.
constexpr auto cancel_wait = std::chrono::milliseconds(1000);
// Looks at libusb's descriptors that may complete nothing before each further look waits 1 ms.
constexpr int quick_looks = 200;
// How long a zero-length packet that should end a transfer is waited for.
constexpr ViUInt32 zlp_wait_ms = 10;
// The first read of a reply is taken back and looked at after this long, then after twice as
// long each time up to the last: a reply short of a zero-length packet costs at most that.
constexpr ViUInt32 first_look_ms = 20;
constexpr ViUInt32 last_look_ms = 160;
// Leftover zero-length packets and stale replies skipped before a reply's header.
constexpr int max_skipped_transfers = 4;

constexpr const char* permission_hint =
    ": no permission to open the device; install kobrant's udev rules (60-kobrant-usbtmc.rules) "
    "and plug the instrument in again, or run with access to ";

ViStatus status_of(int libusb_error) {
  switch (libusb_error) {
    case LIBUSB_ERROR_NO_DEVICE: return VI_ERROR_CONN_LOST;
    case LIBUSB_ERROR_ACCESS: return VI_ERROR_NPERMISSION;
    case LIBUSB_ERROR_BUSY: return VI_ERROR_RSRC_BUSY;
    case LIBUSB_ERROR_TIMEOUT: return VI_ERROR_TMO;
    case LIBUSB_ERROR_NO_MEM: return VI_ERROR_ALLOC;
    case LIBUSB_ERROR_INTERRUPTED: return VI_ERROR_ABORT;
    case LIBUSB_ERROR_NOT_FOUND: return VI_ERROR_RSRC_NFOUND;
    default: return VI_ERROR_IO;
  }
}

void LIBUSB_CALL transfer_finished(libusb_transfer* t) { *static_cast<int*>(t->user_data) = 1; }

// A deadline no later than until and at most ms from now, woken by the same wake-up.
deadline within(const deadline& until, ViUInt32 ms) {
  if (!until.infinite() && until.poll_ms() < static_cast<int>(ms))
    return deadline::after_ms(static_cast<ViUInt32>(until.poll_ms()), until.wake());
  return deadline::after_ms(ms, until.wake());
}

class usbtmc_transport final : public transport {
 public:
  ~usbtmc_transport() override { close(); }

  ViStatus open(const resource_name& name, const deadline& until) override {
    const auto& wanted = std::get<usb_address>(name.address);
    usb::tmc_interface tmc;
    std::string why;
    if (ViStatus status = usb::pick_interface(wanted, usb::find_tmc_interfaces(), tmc, why); status < 0) {
      note_open_failure(status, why);
      return status;
    }
    interface_ = static_cast<int>(tmc.interface_number);
    protocol_ = static_cast<std::uint8_t>(tmc.protocol);
    if (auto node = kernel_node(tmc)) {
      kernel_ = make_kernel_usbtmc_transport(*node);
      return kernel_->open(name, until);
    }

    if (int rc = libusb_init(&ctx_); rc != 0) {
      ctx_ = nullptr;
      note_open_failure(VI_ERROR_RSRC_NFOUND, std::string("USB is not available here: ") + libusb_strerror(rc));
      return VI_ERROR_RSRC_NFOUND;
    }
    if (ViStatus status = open_device(tmc); status < 0) return status;
    if (ViStatus status = claim(tmc); status < 0) return status;
    transfer_ = libusb_alloc_transfer(0);
    in_buffer_.resize(transfer_limit);
    out_buffer_.resize(transfer_limit);
    spare_.resize(in_packet_);
    if (!transfer_) return VI_ERROR_ALLOC;
    read_capabilities(until);
    // A bTag must differ from the one before it, which another program may have sent last:
    // starting anywhere in 1..255 makes meeting it again unlikely where counting from 1 would
    // meet it whenever the last program sent one message.
    tag_ = static_cast<std::uint8_t>(std::random_device{}() % 255);
    return gone_ ? VI_ERROR_RSRC_NFOUND : VI_SUCCESS;
  }

  ViStatus write(std::span<const std::byte> data, std::span<const std::byte>, bool end, const deadline& until,
                 std::size_t& written) override {
    if (kernel_) return kernel_->write(data, {}, end, until, written);
    written = 0;
    if (ViStatus status = usable(); status < 0) return status;
    // Each chunk is one DEV_DEP_MSG_OUT in one transfer; END goes with the last only.
    const std::size_t chunk_limit = (out_buffer_.size() - header_size) / 4 * 4 - 4;
    std::size_t at = 0;
    while (at < data.size()) {
      const std::size_t n = std::min(chunk_limit, data.size() - at);
      const bool last = at + n == data.size();
      tag_ = next_tag(tag_);
      const auto header = dev_dep_msg_out(tag_, static_cast<std::uint32_t>(n), end && last);
      std::memcpy(out_buffer_.data(), header.data(), header_size);
      std::memcpy(out_buffer_.data() + header_size, data.data() + at, n);
      const std::size_t padding = alignment_padding(n);
      std::memset(out_buffer_.data() + header_size + n, 0, padding);
      std::size_t sent = 0;
      ViStatus status = bulk_out(header_size + n + padding, until, sent);
      if (status < 0) {
        written = at + std::min(sent > header_size ? sent - header_size : 0, n);
        // A message cut short would make the device take the next header for its data.
        if ((status == VI_ERROR_TMO || sent > 0) && !gone_) abort_bulk_out(until);
        return status;
      }
      at += n;
    }
    written = data.size();
    return VI_SUCCESS;
  }

  ViStatus read(std::span<std::byte> space, const read_rules& rules, const deadline& until, std::size_t& count,
                bool& end) override {
    if (kernel_) return kernel_->read(space, rules, until, count, end);
    count = 0;
    end = false;
    if (ViStatus status = usable(); status < 0) return status;
    for (;;) {
      if (pending_begin_ < pending_end_ || (reply_ && reply_->data_left() == 0)) {
        count = deliver(space, end);
        if (count > 0 || end) return VI_SUCCESS;
        continue;
      }
      ViStatus status = reply_       ? receive_more(until)
                        : header_due_ ? receive_header(until)
                                      : request(space.size(), rules, until);
      if (status == VI_SUCCESS_QUEUE_EMPTY) status = request(space.size(), rules, until);
      if (status < 0) {
        // What arrived before the failure is the caller's.
        count = deliver(space, end);
        return recover_read(status, until);
      }
    }
  }

  ViStatus clear(const deadline& until) override {
    if (kernel_) return kernel_->clear(until);
    if (ViStatus status = usable(); status < 0) return status;
    forget_reply();
    return run(sequence(sequence::kind::clear, 0, static_cast<std::uint16_t>(interface_), in_endpoint_, out_endpoint_),
               until);
  }

  ViStatus read_stb(const deadline& until, ViUInt16& stb) override {
    if (kernel_) return kernel_->read_stb(until, stb);
    if (ViStatus status = usable(); status < 0) return status;
    if (protocol_ != 1) return VI_ERROR_NSUP_OPER;  // READ_STATUS_BYTE is USB488's
    stb_tag_ = next_stb_tag(stb_tag_);
    std::span<const std::byte> reply;
    ViStatus status = control(setup_for(request::read_status_byte, static_cast<std::uint16_t>(interface_), 0, stb_tag_),
                              until, reply);
    if (status < 0) return status;
    auto answer = parse_status_byte_reply(reply);
    if (!answer || answer->code != usbtmc::status::success || answer->tag != stb_tag_) return VI_ERROR_IO;
    if (!interrupt_endpoint_) {
      stb = answer->stb;
      return VI_SUCCESS;
    }
    // With an Interrupt-IN endpoint the byte comes there, perhaps after SRQ notifications.
    for (;;) {
      std::size_t n = 0;
      status = transfer(LIBUSB_TRANSFER_TYPE_INTERRUPT, interrupt_endpoint_, in_buffer_.data(),
                        std::max<std::size_t>(interrupt_packet_, 2), until, n);
      if (status < 0) return status;
      if (auto byte = parse_status_byte_notification(std::span(in_buffer_).first(n), stb_tag_)) {
        stb = *byte;
        return VI_SUCCESS;
      }
    }
  }

  ViStatus assert_trigger(ViUInt16 protocol, const deadline& until) override {
    if (kernel_) return kernel_->assert_trigger(protocol, until);
    if (ViStatus status = usable(); status < 0) return status;
    if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
    if (protocol_ != 1 || !caps_.usb488_trigger) return VI_ERROR_NSUP_OPER;
    tag_ = next_tag(tag_);
    const auto header = trigger(tag_);
    std::memcpy(out_buffer_.data(), header.data(), header_size);
    std::size_t sent = 0;
    return bulk_out(header_size, until, sent);
  }

  void close() noexcept override {
    if (kernel_) kernel_->close();
    if (transfer_) libusb_free_transfer(transfer_);
    transfer_ = nullptr;
    if (handle_) {
      // Releasing gives the interface back to the kernel driver that was detached from it.
      if (claimed_ && !gone_) libusb_release_interface(handle_, interface_);
      libusb_close(handle_);
    }
    handle_ = nullptr;
    claimed_ = false;
    if (ctx_) libusb_exit(ctx_);
    ctx_ = nullptr;
  }

  // In a child of fork the device and the claim are the parent's: releasing the interface
  // here would take it from the parent. The libusb objects are left as they are.
  void drop() noexcept override {
    if (kernel_) kernel_->drop();
    transfer_ = nullptr;
    handle_ = nullptr;
    ctx_ = nullptr;
  }

  ViStatus get_attribute(ViAttr attr, void* out) override {
    switch (attr) {
      case VI_ATTR_USB_INTFC_NUM: *static_cast<ViInt16*>(out) = static_cast<ViInt16>(interface_); return VI_SUCCESS;
      case VI_ATTR_USB_PROTOCOL: *static_cast<ViInt16*>(out) = protocol_; return VI_SUCCESS;
      case VI_ATTR_4882_COMPLIANT:
        *static_cast<ViBoolean*>(out) = protocol_ == 1 && caps_.usb488_488_2 ? VI_TRUE : VI_FALSE;
        return VI_SUCCESS;
      default: return not_mine;
    }
  }

  ViStatus set_attribute(ViAttr attr, ViAttrState) override {
    if (attr == VI_ATTR_USB_INTFC_NUM || attr == VI_ATTR_USB_PROTOCOL || attr == VI_ATTR_4882_COMPLIANT)
      return VI_ERROR_ATTR_READONLY;
    return not_mine;
  }

 private:
  // ---- Open ------------------------------------------------------------------------------

  // The kernel driver's node, when it is the way in: the interface is bound to usbtmc, the
  // usbfs device node is not open to this user and the driver's node is.
  static std::optional<std::string> kernel_node(const usb::tmc_interface& tmc) {
    if (tmc.driver != "usbtmc" || tmc.char_device.empty()) return std::nullopt;
    char usbfs[40];
    std::snprintf(usbfs, sizeof usbfs, "/dev/bus/usb/%03u/%03u", tmc.bus, tmc.address);
    if (::access(usbfs, R_OK | W_OK) == 0) return std::nullopt;
    const std::string node = "/dev/" + tmc.char_device;
    if (::access(node.c_str(), R_OK | W_OK) != 0) return std::nullopt;
    return node;
  }

  ViStatus open_device(const usb::tmc_interface& tmc) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(ctx_, &list);
    if (n < 0) return status_of(static_cast<int>(n));
    libusb_device* device = nullptr;
    for (ssize_t i = 0; i < n && !device; ++i)
      if (libusb_get_bus_number(list[i]) == tmc.bus && libusb_get_device_address(list[i]) == tmc.address)
        device = list[i];
    int rc = device ? libusb_open(device, &handle_) : LIBUSB_ERROR_NO_DEVICE;
    if (rc == 0) rc = read_endpoints(device);
    libusb_free_device_list(list, 1);
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", tmc.bus, tmc.address);
    if (rc == LIBUSB_ERROR_ACCESS) {
      note_open_failure(VI_ERROR_NPERMISSION, std::string(node) + permission_hint + node);
      return VI_ERROR_NPERMISSION;
    }
    if (rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_NOT_FOUND) {
      note_open_failure(VI_ERROR_RSRC_NFOUND, std::string(node) + ": the device is gone or not a usable TMC interface");
      return VI_ERROR_RSRC_NFOUND;
    }
    if (rc != 0) {
      note_open_failure(status_of(rc), std::string(node) + ": " + libusb_strerror(rc));
      return status_of(rc);
    }
    return VI_SUCCESS;
  }

  // Finds the interface's endpoints in the active configuration (or, when the device has
  // none active, in its first, which is then set).
  int read_endpoints(libusb_device* device) {
    int active = 0;
    if (int rc = libusb_get_configuration(handle_, &active); rc != 0) return rc;
    libusb_config_descriptor* config = nullptr;
    int rc = active == 0 ? libusb_get_config_descriptor(device, 0, &config)
                         : libusb_get_active_config_descriptor(device, &config);
    if (rc != 0) return rc;
    rc = LIBUSB_ERROR_NOT_FOUND;
    for (int i = 0; i < config->bNumInterfaces && rc != 0; ++i) {
      const libusb_interface& intf = config->interface[i];
      for (int a = 0; a < intf.num_altsetting && rc != 0; ++a) {
        const libusb_interface_descriptor& alt = intf.altsetting[a];
        if (alt.bInterfaceNumber != interface_ || alt.bInterfaceClass != usb::tmc_class ||
            alt.bInterfaceSubClass != usb::tmc_subclass)
          continue;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
          const libusb_endpoint_descriptor& ep = alt.endpoint[e];
          const int type = ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK;
          const bool in = (ep.bEndpointAddress & LIBUSB_ENDPOINT_DIR_MASK) == LIBUSB_ENDPOINT_IN;
          const std::size_t packet = ep.wMaxPacketSize & 0x7FF;
          if (type == LIBUSB_TRANSFER_TYPE_BULK && in) {
            in_endpoint_ = ep.bEndpointAddress;
            in_packet_ = packet;
          } else if (type == LIBUSB_TRANSFER_TYPE_BULK) {
            out_endpoint_ = ep.bEndpointAddress;
          } else if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT && in) {
            interrupt_endpoint_ = ep.bEndpointAddress;
            interrupt_packet_ = packet;
          }
        }
        if (in_endpoint_ && out_endpoint_ && in_packet_ > 0 && transfer_limit % in_packet_ == 0) {
          rc = 0;
          alt_setting_ = alt.bAlternateSetting;
          several_alt_settings_ = intf.num_altsetting > 1;
          configuration_ = active == 0 ? config->bConfigurationValue : 0;
        }
      }
    }
    libusb_free_config_descriptor(config);
    return rc;
  }

  ViStatus claim(const usb::tmc_interface& tmc) {
    if (configuration_ != 0) {
      if (int rc = libusb_set_configuration(handle_, configuration_); rc != 0) return open_failed(rc, "set the configuration");
    }
    // Not every platform can detach a kernel driver; where it cannot, the claim says so.
    libusb_set_auto_detach_kernel_driver(handle_, 1);
    if (int rc = libusb_claim_interface(handle_, interface_); rc != 0) {
      if (rc == LIBUSB_ERROR_BUSY)
        note_open_failure(VI_ERROR_RSRC_BUSY, "USB interface " + std::to_string(interface_) + " of " + tmc.device +
                                                  " is in use by another program");
      return rc == LIBUSB_ERROR_BUSY ? VI_ERROR_RSRC_BUSY : open_failed(rc, "claim the interface");
    }
    claimed_ = true;
    if (several_alt_settings_) {
      if (int rc = libusb_set_interface_alt_setting(handle_, interface_, alt_setting_); rc != 0)
        return open_failed(rc, "select the alternate setting");
    }
    return VI_SUCCESS;
  }

  ViStatus open_failed(int rc, const char* what) {
    const ViStatus status = rc == LIBUSB_ERROR_NO_DEVICE ? VI_ERROR_RSRC_NFOUND : status_of(rc);
    note_open_failure(status, std::string("USB: could not ") + what + ": " + libusb_strerror(rc));
    return status;
  }

  // A device that does not answer GET_CAPABILITIES is taken to support nothing optional.
  void read_capabilities(const deadline& until) {
    std::span<const std::byte> reply;
    if (control(setup_for(request::get_capabilities, static_cast<std::uint16_t>(interface_), 0), until, reply) ==
        VI_SUCCESS) {
      if (auto caps = parse_capabilities(reply)) caps_ = *caps;
    }
  }

  ViStatus usable() const {
    if (gone_) return VI_ERROR_CONN_LOST;
    if (!handle_ || !transfer_ || broken_) return VI_ERROR_IO;
    return VI_SUCCESS;
  }

  // ---- Transfers -------------------------------------------------------------------------

  // Waits until libusb has something to handle, the deadline passes (VI_ERROR_TMO), the
  // wake-up fires or a signal comes (VI_ERROR_ABORT). ms: at most this long, -1 unbounded.
  ViStatus wait_events(const deadline& until, int ms) {
    pollfd fds[16];
    nfds_t count = 0;
    fds[count++] = {until.wake_fd(), POLLIN, 0};
    // A wake-up whose descriptor the system could not make could never end this wait.
    if (until.wake() && fds[0].fd < 0) return VI_ERROR_ALLOC;
    if (const libusb_pollfd** usb_fds = libusb_get_pollfds(ctx_)) {
      for (int i = 0; usb_fds[i] && count < std::size(fds); ++i) fds[count++] = {usb_fds[i]->fd, usb_fds[i]->events, 0};
      libusb_free_pollfds(usb_fds);
    } else if (ms < 0 || ms > 10) {
      ms = 10;  // no descriptors to watch: look again soon
    }
    const int n = ::poll(fds, count, ms);
    if (n < 0) return errno == EINTR ? VI_ERROR_ABORT : VI_ERROR_IO;
    if (n > 0 && fds[0].revents != 0) return VI_ERROR_ABORT;
    return n == 0 ? VI_ERROR_TMO : VI_SUCCESS;
  }

  // Submits the transfer as filled in and waits for it. actual: bytes moved, also on failure
  // (a timed-out or interrupted transfer is cancelled; what it moved before stays counted).
  ViStatus submit(const deadline& until, std::size_t& actual) {
    actual = 0;
    int finished = 0;
    transfer_->user_data = &finished;
    transfer_->callback = transfer_finished;
    transfer_->timeout = 0;  // never libusb's own timer: the deadline is watched here
    if (int rc = libusb_submit_transfer(transfer_); rc != 0) {
      if (rc == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
      return status_of(rc);
    }
    ViStatus stop = VI_SUCCESS;
    bool first = true;
    int idle_looks = 0;
    while (!finished) {
      int ms = until.poll_ms();
      // A zero timeout still gives the device one short look; "forever" is never asked for.
      if (ms == 0 && first) ms = 1;
      first = false;
      const ViStatus waited = wait_events(until, ms);
      if (waited < 0 && waited != VI_ERROR_TMO) {
        stop = waited;
        break;
      }
      timeval zero{0, 0};
      libusb_handle_events_timeout_completed(ctx_, &zero, &finished);
      if (finished) break;
      if (until.expired() || (waited == VI_ERROR_TMO && ms == 1 && !until.infinite())) {
        stop = VI_ERROR_TMO;
        break;
      }
      // Readiness that completed nothing: a descriptor that always polls ready must not turn
      // this wait into a spin, though a few quick looks first catch a transfer about to end.
      if (waited == VI_SUCCESS && ++idle_looks > quick_looks) {
        if (ViStatus paused = pause_ms(1, until); paused < 0) {
          stop = paused;
          break;
        }
      }
    }
    if (!finished) {
      libusb_cancel_transfer(transfer_);
      const auto give_up = std::chrono::steady_clock::now() + cancel_wait;
      while (!finished && std::chrono::steady_clock::now() < give_up) {
        timeval tick{0, 20'000};
        libusb_handle_events_timeout_completed(ctx_, &tick, &finished);
      }
      // The transfer still owns the buffers: nothing may be sent any more.
      if (!finished) broken_ = true;
    }
    actual = static_cast<std::size_t>(std::max(transfer_->actual_length, 0));
    if (stop < 0) return stop;
    switch (transfer_->status) {
      case LIBUSB_TRANSFER_COMPLETED: return VI_SUCCESS;
      case LIBUSB_TRANSFER_TIMED_OUT: return VI_ERROR_TMO;
      case LIBUSB_TRANSFER_NO_DEVICE: gone_ = true; return VI_ERROR_CONN_LOST;
      case LIBUSB_TRANSFER_STALL: stalled_ = true; return VI_ERROR_IO;
      default: return VI_ERROR_IO;
    }
  }

  ViStatus transfer(unsigned char type, std::uint8_t endpoint, std::byte* buffer, std::size_t length,
                    const deadline& until, std::size_t& actual) {
    if (type == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
      libusb_fill_interrupt_transfer(transfer_, handle_, endpoint, reinterpret_cast<unsigned char*>(buffer),
                                     static_cast<int>(length), transfer_finished, nullptr, 0);
    } else {
      libusb_fill_bulk_transfer(transfer_, handle_, endpoint, reinterpret_cast<unsigned char*>(buffer),
                                static_cast<int>(length), transfer_finished, nullptr, 0);
    }
    stalled_ = false;
    ViStatus status = submit(until, actual);
    if (stalled_) {
      // The device halted the endpoint: lift the halt so the next operation can use it, and
      // report this one as failed.
      libusb_clear_halt(handle_, endpoint);
      stalled_ = false;
    }
    return status;
  }

  ViStatus bulk_out(std::size_t length, const deadline& until, std::size_t& sent) {
    return transfer(LIBUSB_TRANSFER_TYPE_BULK, out_endpoint_, out_buffer_.data(), length, until, sent);
  }

  ViStatus bulk_in(std::size_t length, const deadline& until, std::size_t& received) {
    return transfer(LIBUSB_TRANSFER_TYPE_BULK, in_endpoint_, in_buffer_.data(), length, until, received);
  }

  // A class request; reply: the bytes the device answered, valid until the next transfer.
  ViStatus control(const control_setup& setup, const deadline& until, std::span<const std::byte>& reply) {
    reply = {};
    libusb_fill_control_setup(control_buffer_, setup.request_type, setup.request, setup.value, setup.index,
                              setup.length);
    libusb_fill_control_transfer(transfer_, handle_, control_buffer_, transfer_finished, nullptr, 0);
    std::size_t n = 0;
    stalled_ = false;
    ViStatus status = submit(until, n);
    // A stalled control request is the device refusing it; the default pipe clears itself.
    stalled_ = false;
    if (status < 0) return status;
    reply = std::span(reinterpret_cast<const std::byte*>(libusb_control_transfer_get_data(transfer_)),
                      std::min<std::size_t>(n, setup.length));
    return VI_SUCCESS;
  }

  // ---- Reading ---------------------------------------------------------------------------

  // Sends REQUEST_DEV_DEP_MSG_IN for up to wanted bytes and reads the header of the reply. A
  // device with nothing to send yet (no data, no EOM) is asked again shortly, until the deadline.
  ViStatus request(std::size_t wanted, const read_rules& rules, const deadline& until) {
    for (;;) {
      ViStatus status = request_once(wanted, rules, until);
      if (status != VI_SUCCESS_QUEUE_EMPTY) return status;
      if (status = pause_ms(check_pause_ms, until); status < 0) return status;
      if (until.expired()) return VI_ERROR_TMO;
    }
  }

  // One request and the header of its reply; VI_SUCCESS_QUEUE_EMPTY when the reply was empty.
  ViStatus request_once(std::size_t wanted, const read_rules& rules, const deadline& until) {
    tag_ = next_tag(tag_);
    const std::uint8_t tag = tag_;
    if (!message_open_) message_tag_ = tag;
    const auto size = static_cast<std::uint32_t>(std::min<std::size_t>(wanted, 0xFFFFFFFFu));
    const std::optional<std::uint8_t> termchar =
        rules.termchar_enabled && caps_.termchar ? std::optional(rules.termchar) : std::nullopt;
    const auto header = request_dev_dep_msg_in(tag, size, termchar);
    std::memcpy(out_buffer_.data(), header.data(), header_size);
    std::size_t sent = 0;
    if (ViStatus status = bulk_out(header_size, until, sent); status < 0) {
      if (status == VI_ERROR_TMO || sent > 0) abort_bulk_out(until);
      return status;
    }
    requested_tag_ = tag;
    requested_size_ = size;
    header_due_ = true;
    return receive_header(until);
  }

  // Reads the header of the reply to the last request, also when a signal cut that wait short,
  // since the device answers that request before it would take another. A read cut short (a
  // signal, an unplugged device) after bytes arrived still takes them as the reply's start,
  // then reports why it stopped.
  ViStatus receive_header(const deadline& until) {
    const std::uint8_t tag = requested_tag_;
    const std::size_t length = first_read_length(requested_size_, in_packet_, in_buffer_.size());
    for (int skipped = 0;; ++skipped) {
      std::size_t n = 0;
      bool whole = false;
      const ViStatus cut = read_reply_start(length, until, n, whole);
      if (cut < 0 && n == 0) return cut;
      if (n == 0 && skipped < max_skipped_transfers) continue;  // a zero-length packet left over
      in_header h;
      // A continuation may carry the tag of the message's first request (some devices keep it).
      const std::uint8_t tolerated = message_open_ && message_tag_ != tag ? message_tag_ : 0;
      const in_check check = parse_in_header(std::span(in_buffer_).first(n), tag, tolerated, h);
      if (check == in_check::wrong_tag && skipped < max_skipped_transfers) {
        // A stale reply, to a request this side gave up on: read it out and drop it.
        if (cut < 0) return cut;
        if (ViStatus status = skip_stale(n, until); status < 0) return status;
        continue;
      }
      header_due_ = false;
      if (check == in_check::empty) return cut < 0 ? cut : VI_SUCCESS_QUEUE_EMPTY;
      if (check != in_check::ok) return cut < 0 ? cut : VI_ERROR_RAW_RD_PROT_VIOL;
      reply_.emplace(h, n);
      reply_eom_ = h.eom;
      pending_begin_ = header_size;
      pending_end_ = header_size + reply_->first_length();
      if (cut < 0) return cut;
      if (whole && n == length && reply_->data_left() == 0) take_zero_length_packet(until);
      return VI_SUCCESS;
    }
  }

  // The first read of a reply (length bytes into in_buffer_). It ends by itself on the
  // device's short or zero-length packet; one that has not after a look is taken back, since a
  // device that leaves out the zero-length packet after a reply ending on a whole packet would
  // hold it open until the deadline. The bytes it took are the reply's start (what the header
  // says is missing comes in the next read); when it took none it is sent again and looked at
  // later. whole: the read ended by itself.
  ViStatus read_reply_start(std::size_t length, const deadline& until, std::size_t& n, bool& whole) {
    for (ViUInt32 look = first_look_ms;; look = std::min(look * 2, last_look_ms)) {
      const ViStatus status = bulk_in(length, within(until, look), n);
      whole = status == VI_SUCCESS;
      if (status != VI_ERROR_TMO) return status;
      if (n > 0) return VI_SUCCESS;
      if (until.expired()) return status;
    }
  }

  // Reads out a transfer whose header (in the n bytes at hand) answers another request.
  ViStatus skip_stale(std::size_t n, const deadline& until) {
    const std::byte* b = in_buffer_.data();
    std::uint32_t size = 0;
    for (int i = 3; i >= 0; --i) size = (size << 8) | std::to_integer<std::uint32_t>(b[4 + i]);
    in_transfer stale({std::to_integer<std::uint8_t>(b[1]), size, false, false}, n);
    while (stale.data_left() > 0) {
      std::size_t got = 0;
      if (ViStatus status = bulk_in(stale.next_read(in_packet_, in_buffer_.size()), until, got); status < 0)
        return status;
      stale.take(got);
    }
    return VI_SUCCESS;
  }

  // Reads the next piece of the reply in progress.
  ViStatus receive_more(const deadline& until) {
    std::size_t n = 0;
    const std::size_t asked = reply_->next_read(in_packet_, in_buffer_.size());
    ViStatus status = bulk_in(asked, until, n);
    pending_begin_ = 0;
    pending_end_ = reply_->take(n);
    if (status == VI_SUCCESS && n == asked && reply_->data_left() == 0) take_zero_length_packet(until);
    return status;
  }

  // A transfer that ended on a whole packet is followed by a zero-length packet, which is part
  // of it: it is taken now, so the next request finds the pipe empty. A device that leaves it
  // out costs this short wait, not the timeout; one that sends it late has it skipped before
  // the next header. Whatever this read brings is not data of the reply.
  void take_zero_length_packet(const deadline& until) {
    std::size_t n = 0;
    transfer(LIBUSB_TRANSFER_TYPE_BULK, in_endpoint_, spare_.data(), spare_.size(), within(until, zlp_wait_ms), n);
  }

  // Copies what is at hand to space; end when that finished a transfer that carried EOM.
  // Some devices set EOM on every transfer: an EOM that comes inside a definite-length block
  // (whose header says more bytes follow) is not taken as the end of the message.
  std::size_t deliver(std::span<std::byte> space, bool& end) {
    const std::size_t n = std::min(space.size(), pending_end_ - pending_begin_);
    std::memcpy(space.data(), in_buffer_.data() + pending_begin_, n);
    pending_begin_ += n;
    block_finder_.feed(space.first(n));
    end = false;
    if (reply_ && pending_begin_ == pending_end_ && reply_->data_left() == 0) {
      end = reply_eom_ && !block_finder_.inside_block();
      message_open_ = !end;
      if (end) block_finder_.reset();
      reply_.reset();
    }
    return n;
  }

  void forget_reply() {
    header_due_ = false;
    block_finder_.reset();
    reply_.reset();
    pending_begin_ = pending_end_ = 0;
    message_open_ = false;
  }

  // After a failed read: a timeout leaves the device sending (or about to send) the reply, so
  // the abort sequence takes it back and the next command starts clean. A signal only cut the
  // wait short: the reply goes on at the next read.
  ViStatus recover_read(ViStatus status, const deadline& until) {
    if (status == VI_ERROR_ABORT || gone_) return status;
    if (status == VI_ERROR_TMO || status == VI_ERROR_RAW_RD_PROT_VIOL) abort_bulk_in(until);
    forget_reply();
    return status;
  }

  // ---- Sequences -------------------------------------------------------------------------

  void abort_bulk_in(const deadline& until) {
    run(sequence(sequence::kind::abort_bulk_in, requested_tag_, static_cast<std::uint16_t>(interface_), in_endpoint_,
                 out_endpoint_),
        deadline::after_ms(recovery_ms, until.wake()));
  }

  void abort_bulk_out(const deadline& until) {
    run(sequence(sequence::kind::abort_bulk_out, tag_, static_cast<std::uint16_t>(interface_), in_endpoint_,
                 out_endpoint_),
        deadline::after_ms(recovery_ms, until.wake()));
  }

  ViStatus run(sequence s, const deadline& until) {
    for (;;) {
      switch (s.next()) {
        case step::control: {
          std::span<const std::byte> reply;
          ViStatus status = control(s.setup(), until, reply);
          if (status == VI_ERROR_CONN_LOST || status == VI_ERROR_ABORT || status == VI_ERROR_TMO) return status;
          s.on_reply(reply);
          break;
        }
        case step::drain_in:
          if (ViStatus status = drain(until); status < 0) return status;
          s.on_drained();
          break;
        case step::pause:
          if (ViStatus status = pause_ms(std::min(check_pause_ms, std::max(until.poll_ms(), 0)), until); status < 0)
            return status;
          if (until.expired()) return VI_ERROR_TMO;
          s.on_paused();
          break;
        case step::clear_halt:
          if (int rc = libusb_clear_halt(handle_, s.halt_endpoint()); rc == LIBUSB_ERROR_NO_DEVICE) {
            gone_ = true;
            return VI_ERROR_CONN_LOST;
          }
          s.on_halt_cleared();
          break;
        case step::done:
          return VI_SUCCESS;
        case step::failed:
          return VI_ERROR_IO;
      }
    }
  }

  // Reads Bulk-IN until a short packet (or nothing comes for a moment) and drops it.
  ViStatus drain(const deadline& until) {
    for (int i = 0; i < max_drain_reads; ++i) {
      std::size_t n = 0;
      ViStatus status = bulk_in(in_buffer_.size(), within(until, drain_read_ms), n);
      if (status == VI_ERROR_TMO) return until.expired() ? VI_ERROR_TMO : VI_SUCCESS;
      if (status < 0) return status;
      if (n < in_buffer_.size()) return VI_SUCCESS;
    }
    return VI_SUCCESS;
  }

  std::unique_ptr<transport> kernel_;  // the kernel driver's node, when that is the way in
  libusb_context* ctx_ = nullptr;
  libusb_device_handle* handle_ = nullptr;
  libusb_transfer* transfer_ = nullptr;  // one at a time: every operation waits for its own
  bool claimed_ = false;
  bool gone_ = false;     // the device was unplugged
  bool broken_ = false;   // a transfer could not be taken back
  bool stalled_ = false;  // the last transfer ended in a halt

  int interface_ = 0;
  std::uint8_t protocol_ = 0;
  std::uint8_t alt_setting_ = 0;
  bool several_alt_settings_ = false;
  int configuration_ = 0;  // to set at open; 0: the device has one active already
  std::uint8_t in_endpoint_ = 0;
  std::uint8_t out_endpoint_ = 0;
  std::uint8_t interrupt_endpoint_ = 0;  // 0: none
  std::size_t in_packet_ = 0;
  std::size_t interrupt_packet_ = 0;
  capabilities caps_;

  std::uint8_t tag_ = 0;            // the last bTag sent
  std::uint8_t stb_tag_ = 1;        // the last READ_STATUS_BYTE tag
  std::uint8_t requested_tag_ = 0;  // the tag of the last REQUEST_DEV_DEP_MSG_IN
  std::uint32_t requested_size_ = 0;  // and the bytes it asked for
  std::uint8_t message_tag_ = 0;    // the tag of the first request of the message being read
  bool message_open_ = false;       // the last transfer ended without EOM
  bool header_due_ = false;         // the last request's reply has not begun to be read

  std::optional<in_transfer> reply_;  // the device transfer being read
  bool reply_eom_ = false;
  message_end block_finder_;  // where the message stands, to tell a true EOM from an early one
  std::size_t pending_begin_ = 0;  // data of the reply in in_buffer_ not yet delivered
  std::size_t pending_end_ = 0;

  std::vector<std::byte> in_buffer_;
  std::vector<std::byte> out_buffer_;
  std::vector<std::byte> spare_;  // one packet, for a zero-length packet that ends a transfer
  unsigned char control_buffer_[LIBUSB_CONTROL_SETUP_SIZE + 64] = {};
};

std::unique_ptr<transport> make_usbtmc_transport() { return std::make_unique<usbtmc_transport>(); }

#else

// Built without libusb-1.0: the name parses, the row is found, and the open says why it fails.
class usbtmc_unavailable final : public transport {
 public:
  ViStatus open(const resource_name&, const deadline&) override {
    note_open_failure(VI_ERROR_NSUP_OPER, "this build of kobrant has no USB support (built without libusb-1.0)");
    return VI_ERROR_NSUP_OPER;
  }
  ViStatus write(std::span<const std::byte>, std::span<const std::byte>, bool, const deadline&,
                 std::size_t& written) override {
    written = 0;
    return VI_ERROR_NSUP_OPER;
  }
  ViStatus read(std::span<std::byte>, const read_rules&, const deadline&, std::size_t& count, bool& end) override {
    count = 0;
    end = false;
    return VI_ERROR_NSUP_OPER;
  }
  ViStatus clear(const deadline&) override { return VI_ERROR_NSUP_OPER; }
  void close() noexcept override {}
};

std::unique_ptr<transport> make_usbtmc_transport() { return std::make_unique<usbtmc_unavailable>(); }

#endif

}  // namespace

constinit const transport_entry usbtmc_transport_entry{
    VI_INTF_USB, "INSTR", address_index<usb_address>, "USBTMC", true, &make_usbtmc_transport,
#if KOBRANT_HAVE_LIBUSB
    &list_usb_instruments,
#else
    nullptr,
#endif
    usb_name_attributes, &get_usb_name_attribute};

}  // namespace kobrant::visa
