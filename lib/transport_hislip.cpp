// TCPIP INSTR over HiSLIP (TCPIP[board]::host::hislipN[,port]::INSTR). Two TCP connections
// to one port: the synchronous channel carries Data and DataEND (END is the DataEND), the
// asynchronous one the handshake, the maximum message size exchange and device clear. Data
// payloads are received straight into the caller's space; counts, termination characters and
// leftovers the core handles.
#include "attributes.h"
#include "hislip_wire.h"
#include "sockets.h"
#include "transport.h"

#include <algorithm>

namespace kobrant::visa {
namespace {

using hislip::header;
using hislip::message_reader;
using hislip::message_type;

constexpr std::uint16_t offered_version = hislip::version_1_0;
constexpr std::string_view vendor_id = "KB";

// The largest message this client accepts, announced to the server. Payloads go straight into
// the caller's buffer, so a large value costs no memory and keeps headers rare in big blocks.
// It is also the limit past which a peer's length is a protocol error.
constexpr std::uint64_t client_max_message_size = std::uint64_t{1} << 20;

// The payload this client puts in one message until the server has named its own maximum.
constexpr std::uint64_t default_server_max_message_size = std::uint64_t{1} << 20;

// What went wrong on the protocol's level; OS conditions come as statuses from net.h.
enum class problem {
  malformed_header,    // the prologue is not "HS", or a length beyond what we accept
  unexpected_message,  // a message with no place where it arrived, or a payload that is wrong
  fatal_error,         // the server sent FatalError and closes the session
  error,               // the server sent Error: it rejected something we sent
};

ViStatus to_status(problem p, std::uint8_t code = 0) {
  switch (p) {
    case problem::malformed_header:
    case problem::unexpected_message:
      return VI_ERROR_RAW_RD_PROT_VIOL;
    case problem::fatal_error:
      switch (static_cast<hislip::fatal_code>(code)) {
        case hislip::fatal_code::maximum_clients_exceeded: return VI_ERROR_RSRC_BUSY;
        case hislip::fatal_code::secure_connection_failed: return VI_ERROR_NPERMISSION;
        default: return VI_ERROR_INP_PROT_VIOL;
      }
    case problem::error:
      return VI_ERROR_INP_PROT_VIOL;
  }
  return VI_ERROR_IO;
}

std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span(text.data(), text.size()));
}

class hislip_transport final : public transport {
 public:
  ViStatus open(const resource_name& name, const deadline& until) override {
    const auto& address = std::get<hislip_address>(name.address);
    ViStatus status = tcp_connect(address.host, address.port, until, sync_);
    if (status < 0) return status;
    sync_wait_.wait_inside(sync_.get());
    // Nothing on the synchronous channel is data for the caller before the session exists.
    sync_reader_.set_discard_data(true);

    header init{message_type::initialize, 0, hislip::initialize_parameter(offered_version, vendor_id),
                address.device_name.size()};
    status = send_message(sync_.get(), init, as_bytes(address.device_name), until);
    message_reader::event reply;
    if (status >= 0) status = expect(sync_.get(), sync_reader_, message_type::initialize_response, until, reply);
    if (status < 0) return status;
    const std::uint16_t session_id = static_cast<std::uint16_t>(reply.head.message_parameter & 0xFFFF);

    status = tcp_connect(address.host, address.port, until, async_);
    if (status >= 0) {
      status = send_message(async_.get(), {message_type::async_initialize, 0, session_id, 0}, {}, until);
    }
    if (status >= 0) {
      status = expect(async_.get(), async_reader_, message_type::async_initialize_response, until, reply);
    }
    if (status < 0) return status;

    const auto our_max = hislip::encode_u64(client_max_message_size);
    status = send_message(async_.get(), {message_type::async_maximum_message_size, 0, 0, our_max.size()},
                          our_max, until);
    if (status >= 0) {
      status = expect(async_.get(), async_reader_, message_type::async_maximum_message_size_response,
                      until, reply);
    }
    if (status < 0) return status;
    const auto server_max = hislip::decode_u64(reply.payload);
    // The server's figure may or may not count the header; staying under it with the header
    // included is right under either reading. A server that takes no payload at all is broken.
    if (!server_max || *server_max <= hislip::header_size) return fail(problem::unexpected_message);
    max_payload_out_ = *server_max - hislip::header_size;

    sync_reader_.set_discard_data(false);
    return VI_SUCCESS;
  }

  // tail stays empty: DataEND marks the end of a message.
  ViStatus write(std::span<const std::byte> data, std::span<const std::byte>, bool end,
                 const deadline& until, std::size_t& written) override {
    written = 0;
    if (!sync_) return VI_ERROR_CONN_LOST;
    if (data.empty() && !end) return VI_SUCCESS;
    // An empty write with END is still a message: an empty DataEND.
    std::size_t done = 0;
    do {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(data.size() - done, max_payload_out_));
      const bool last = done + n == data.size();
      const header h{last && end ? message_type::data_end : message_type::data,
                     rmt_delivered_ ? hislip::rmt_delivered : std::uint8_t{0}, next_message_id_, n};
      const auto head = hislip::encode_header(h);
      std::size_t sent = 0;
      ViStatus status = send_frame(sync_.get(), head, data.subspan(done, n), until, sent);
      written += sent > hislip::header_size ? sent - hislip::header_size : 0;
      // A signal stops the write only between messages: the one begun went out whole.
      const bool interrupted = status == VI_ERROR_ABORT && sent > 0;
      if (status < 0 && !interrupted) {
        // A message cut short leaves the channel without framing the server could resume
        // from; only a new session can talk to it again.
        if (sent > 0) close_channels();
        return status;
      }
      message_sent();
      done += n;
      if (interrupted) return status;
    } while (done < data.size());
    return VI_SUCCESS;
  }

  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline& until,
                std::size_t& count, bool& end) override {
    count = 0;
    end = false;
    if (!sync_) return VI_ERROR_CONN_LOST;
    for (;;) {
      const auto target = sync_reader_.next_space(space);
      if (target.empty()) return space.empty() ? VI_SUCCESS : fail(problem::malformed_header);
      std::size_t n = 0;
      ViStatus status = receive_some(sync_.get(), target, until, n, &sync_wait_);
      if (status < 0) return lost_if_gone(status);
      const auto e = sync_reader_.took(n);
      switch (e.kind) {
        case message_reader::event_kind::none:
          continue;
        case message_reader::event_kind::data:
          count = e.count;
          end = e.end;
          if (end) rmt_delivered_ = true;
          return VI_SUCCESS;
        case message_reader::event_kind::message:
          if (e.head.type == message_type::fatal_error) {
            close_channels();
            return to_status(problem::fatal_error, e.head.control_code);
          }
          if (e.head.type == message_type::error) return to_status(problem::error, e.head.control_code);
          // Interrupted (the server dropped an earlier answer, which the message id already
          // filters out), a stray clear acknowledgement, vendor messages: nothing to deliver.
          continue;
        case message_reader::event_kind::bad_prologue:
        case message_reader::event_kind::too_long:
          return fail(problem::malformed_header);
      }
    }
  }

  ViStatus clear(const deadline& until) override {
    if (!sync_ || !async_) return VI_ERROR_CONN_LOST;
    ViStatus status = send_message(async_.get(), {message_type::async_device_clear, 0, 0, 0}, {}, until);
    message_reader::event ack;
    if (status >= 0) {
      status = expect(async_.get(), async_reader_, message_type::async_device_clear_acknowledge, until, ack);
    }
    if (status < 0) return status;

    // Whatever the server sent before it acknowledges the clear on this channel is dropped,
    // the rest of a half-received answer included.
    sync_reader_.set_discard_data(true);
    const std::uint8_t features = ack.head.control_code & hislip::overlap_mode;
    status = send_message(sync_.get(), {message_type::device_clear_complete, features, 0, 0}, {}, until);
    if (status >= 0) {
      status = expect(sync_.get(), sync_reader_, message_type::device_clear_acknowledge, until, ack);
    }
    sync_reader_.set_discard_data(false);
    if (status < 0) return status;

    next_message_id_ = hislip::first_message_id;
    sync_reader_.expect_message_id(std::nullopt);
    rmt_delivered_ = false;
    return VI_SUCCESS;
  }

  // Trigger goes on the synchronous channel, numbered and flagged like a data message.
  ViStatus assert_trigger(ViUInt16 protocol, const deadline& until) override {
    if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
    if (!sync_) return VI_ERROR_CONN_LOST;
    const header h{message_type::trigger, rmt_delivered_ ? hislip::rmt_delivered : std::uint8_t{0},
                   next_message_id_, 0};
    const auto head = hislip::encode_header(h);
    std::size_t sent = 0;
    ViStatus status = send_frame(sync_.get(), head, {}, until, sent);
    // A signal after the header began still lets it go out whole (send_frame).
    const bool interrupted = status == VI_ERROR_ABORT && sent > 0;
    if (status < 0 && !interrupted) {
      if (sent > 0) close_channels();  // half a header: the framing is gone
      return status;
    }
    message_sent();
    return status;
  }

  // AsyncStatusQuery names the latest message sent on the synchronous channel, so the server
  // answers for the state after it, and carries RMT-delivered like a data message: the server
  // clears MAV once the application has the whole answer.
  ViStatus read_stb(const deadline& until, ViUInt16& status_byte) override {
    if (!sync_ || !async_) return VI_ERROR_CONN_LOST;
    const header query{message_type::async_status_query,
                       rmt_delivered_ ? hislip::rmt_delivered : std::uint8_t{0},
                       next_message_id_ - hislip::message_id_step, 0};
    ViStatus status = send_message(async_.get(), query, {}, until);
    if (status < 0) return lost_if_gone(status);
    rmt_delivered_ = false;
    message_reader::event reply;
    status = expect(async_.get(), async_reader_, message_type::async_status_response, until, reply);
    if (status >= 0) status_byte = reply.head.control_code;
    return status;
  }

  void close() noexcept override { close_channels(); }

 private:
  // After a Data, DataEND or Trigger went out: the next message gets the next id, RMT-delivered
  // starts over, and answers still arriving for earlier messages are stale.
  void message_sent() {
    rmt_delivered_ = false;
    sync_reader_.expect_message_id(next_message_id_);
    next_message_id_ += hislip::message_id_step;
  }

  // Sends one whole message; payload goes out from where it lies.
  static ViStatus send_message(io_handle fd, const header& h, std::span<const std::byte> payload,
                               const deadline& until) {
    const auto head = hislip::encode_header(h);
    std::size_t sent = 0;
    return send_frame(fd, head, payload, until, sent);
  }

  // Receives messages on a channel until one of type wanted arrives. FatalError and Error
  // end the wait with their status; on the asynchronous channel other messages (a service
  // request, say) are passed over, on the synchronous one so is dropped data.
  ViStatus expect(io_handle fd, message_reader& reader, message_type wanted, const deadline& until,
                  message_reader::event& out) {
    for (;;) {
      const auto target = reader.next_space({});
      if (target.empty()) return fail(problem::malformed_header);
      std::size_t n = 0;
      ViStatus status = receive_some(fd, target, until, n, fd == sync_.get() ? &sync_wait_ : nullptr);
      if (status < 0) return lost_if_gone(status);
      out = reader.took(n);
      switch (out.kind) {
        case message_reader::event_kind::none:
        case message_reader::event_kind::data:
          continue;
        case message_reader::event_kind::bad_prologue:
        case message_reader::event_kind::too_long:
          return fail(problem::malformed_header);
        case message_reader::event_kind::message:
          break;
      }
      if (out.head.type == wanted) return VI_SUCCESS;
      if (out.head.type == message_type::fatal_error) {
        close_channels();
        return to_status(problem::fatal_error, out.head.control_code);
      }
      if (out.head.type == message_type::error) return to_status(problem::error, out.head.control_code);
      // The handshake has a fixed order: a server answering it with something else is not
      // following the protocol.
      if (wanted == message_type::initialize_response || wanted == message_type::async_initialize_response)
        return fail(problem::unexpected_message);
    }
  }

  // A channel the peer closed is of no further use, and neither is the session.
  ViStatus lost_if_gone(ViStatus status) {
    if (status == VI_ERROR_CONN_LOST) close_channels();
    return status;
  }

  // A peer whose stream lost its framing, or that broke the handshake, gets a FatalError if
  // it still listens, and the session ends: there is no way to find the next header in a
  // stream of unknown bytes.
  ViStatus fail(problem p) {
    if (sync_) {
      const auto code = p == problem::malformed_header ? hislip::fatal_code::poorly_formed_message_header
                                                       : hislip::fatal_code::invalid_initialization_sequence;
      const header fatal{message_type::fatal_error, static_cast<std::uint8_t>(code), 0, 0};
      const auto head = hislip::encode_header(fatal);
      sockets::send_some(sync_.get(), head, {}, false, true);  // never waits
    }
    close_channels();
    return to_status(p);
  }

  void close_channels() noexcept {
    async_.reset();
    sync_.reset();
  }

  unique_fd sync_;
  receive_wait sync_wait_;  // how receives on sync_ wait (the asynchronous channel's in polls)
  unique_fd async_;
  message_reader sync_reader_{client_max_message_size, true};
  message_reader async_reader_{client_max_message_size, false};
  std::uint64_t max_payload_out_ = default_server_max_message_size - hislip::header_size;
  std::uint32_t next_message_id_ = hislip::first_message_id;
  bool rmt_delivered_ = false;  // a whole answer reached the caller since our last message
};

std::unique_ptr<transport> make_hislip_transport() { return std::make_unique<hislip_transport>(); }

constexpr ViAttr address_attributes[] = {VI_ATTR_TCPIP_ADDR, VI_ATTR_TCPIP_HOSTNAME, VI_ATTR_TCPIP_DEVICE_NAME};

ViStatus get_address_attribute(const resource_name& name, ViAttr attr, void* out) {
  const auto& address = std::get<hislip_address>(name.address);
  return put_attribute_string(attr == VI_ATTR_TCPIP_DEVICE_NAME ? address.device_name : address.host, out);
}

// A HiSLIP server announced over mDNS; its port is written out only when not the default.
std::string discovered_name(const lan_service& found) {
  if (found.protocol != lan_protocol::hislip) return {};
  std::string name = std::string(discovered_name_prefix) + ipv4_text(found.address) + "::hislip0";
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) on "," + std::string.
  if (found.port != hislip_default_port) {
    name += ',';
    name += std::to_string(found.port);
  }
  return name + "::INSTR";
}

}  // namespace

constinit const transport_entry hislip_transport_entry{
    VI_INTF_TCPIP, "INSTR", address_index<hislip_address>, "HiSLIP", true, &make_hislip_transport, nullptr,
    address_attributes, &get_address_attribute, &discovered_name};

}  // namespace kobrant::visa
