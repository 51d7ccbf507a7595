// TCPIP INSTR over VXI-11 (TCPIP[board]::host[::device]::INSTR): ONC RPC on TCP. The port
// mapper on port 111 names the core channel's port; there a link to the device is created, and
// writes and reads become device_write and device_read calls whose flags and reasons carry END
// and the termination character. The core keeps the count and termination rules.
#include "attributes.h"
#include "sockets.h"
#include "transport.h"
#include "vxi11_wire.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace kobrant::visa {
namespace {

using namespace vxi11;

// The RPC wait outlasts io_timeout by this much, so that an instrument's own timeout error
// (which says more, and keeps the link in step) arrives before the client gives up.
ViUInt32 rpc_margin_ms(ViUInt32 io_timeout_ms) {
  return std::clamp<ViUInt32>(io_timeout_ms / 10, 250, 2000);
}

// destroy_link at close waits no longer than this for its answer.
constexpr ViUInt32 close_wait_ms = 500;

// Every server accepts device_write data of this size (maxRecvSize is never smaller); used
// when a server announces 0.
constexpr std::uint32_t min_max_recv_size = 1024;

// Writes up to this size go out as one buffer: one system call, one segment.
constexpr std::size_t small_write = 4096;

// Replies come in through a buffer of this size: one receive brings the record mark, the reply
// head, the result words and a short answer's data together. Data that still wants at least
// this much goes straight into the caller's space instead, copied by the kernel alone.
constexpr std::size_t receive_buffer_size = 4096;

// The io_timeout to send for what is left of an operation's deadline.
ViUInt32 io_timeout_ms(const deadline& until) {
  if (until.infinite()) return VI_TMO_INFINITE;
  return static_cast<ViUInt32>(until.poll_ms());
}

// The RPC's own deadline, woken by whatever wakes the operation's.
deadline rpc_deadline(ViUInt32 io_timeout, const deadline& operation) {
  if (io_timeout == VI_TMO_INFINITE) return deadline::after_ms(VI_TMO_INFINITE, operation.wake());
  return deadline::after_ms(io_timeout + rpc_margin_ms(io_timeout), operation.wake());
}

// One RPC connection: numbered calls out, their replies back in step.
class rpc_channel {
 public:
  ViStatus connect(const std::string& host, std::uint16_t port, const deadline& until) {
    const ViStatus status = tcp_connect(host, port, until, fd_);
    if (status >= 0) receive_wait_.wait_inside(fd_.get());
    return status;
  }
  bool connected() const { return static_cast<bool>(fd_); }
  // False after the client stopped waiting for a reply that has not come in yet: a new call's
  // answer then waits behind it.
  bool in_step() const { return in_step_; }
  // True while the reply to the last call, a device_read, is still to come because a signal
  // ended the wait for it before it began: its data is the next of the response.
  bool read_pending() const { return read_pending_; }
  io_handle fd() const { return fd_.get(); }
  void disconnect() noexcept {
    fd_.reset();
    in_pos_ = in_end_ = 0;
  }

  // Sends one call (its opaque argument, if any, last) and receives the first words of its
  // results. A failure that leaves the stream out of step ends the connection.
  ViStatus call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                std::span<const std::uint32_t> args, std::optional<std::span<const std::byte>> opaque,
                const deadline& until, std::span<std::uint32_t> results) {
    ViStatus status = send_call(prog, vers, proc, args, opaque, until);
    if (status < 0) return status;
    bool interrupted = false;
    reader_.expect_reply(last_xid_, results.size());
    status = settle(receive(until, {}, interrupted));
    if (status >= 0) std::ranges::copy(reader_.words(), results.begin());
    return status;
  }

  // device_read: the data goes straight into space, anything beyond it into excess.
  // interrupted: a signal came while the reply was arriving; the reply is whole all the same.
  ViStatus read_call(std::span<const std::uint32_t> args, const deadline& until,
                     std::span<std::byte> space, held_bytes& excess, read_reply& out,
                     bool& interrupted) {
    out = {};
    interrupted = false;
    ViStatus status = send_call(device_core, device_core_version,
                                static_cast<std::uint32_t>(core_proc::device_read), args, std::nullopt, until);
    if (status < 0) {
      read_pending_ = status == VI_ERROR_ABORT && sent_whole_;
      return status;
    }
    return pending_read_reply(until, space, excess, out, interrupted);
  }

  // Receives the reply to the last device_read (read_pending()), whose data goes on from
  // where the interrupted read stopped.
  ViStatus pending_read_reply(const deadline& until, std::span<std::byte> space,
                              held_bytes& excess, read_reply& out, bool& interrupted) {
    out = {};
    interrupted = false;
    reader_.expect_read_reply(last_xid_, space.size(), excess);
    ViStatus status = settle(receive(until, space, interrupted));
    out = reader_.read_result();
    read_pending_ = status == VI_ERROR_ABORT;
    return status;
  }

 private:
  // Pushes what the socket brings into the reader until the reply is decoded: bytes already
  // buffered first, then one receive into the buffer, or straight into the caller's space for
  // long data. Right after a call the reply cannot be there yet, so the first receive waits
  // for it before reading (a read would only find nothing); later ones read first and wait
  // only when that would block. A signal ends the wait for a reply that has not begun; a reply
  // already coming in is received to its end (within the deadline), so that its data reaches
  // the caller instead of being skipped, and interrupted records that the signal came. A
  // wake-up, unlike a signal, ends the session: no reply is wanted any more.
  ViStatus receive(const deadline& until, std::span<std::byte> caller_space, bool& interrupted) {
    std::optional<ViStatus> done = reader_.outcome();
    while (!done) {
      const std::span<std::byte> space = reader_.next_space(caller_space);
      if (space.empty()) return VI_ERROR_IO;  // a caller space smaller than announced
      if (in_pos_ < in_end_) {
        const std::size_t n = std::min(space.size(), in_end_ - in_pos_);
        std::memcpy(space.data(), in_.data() + in_pos_, n);
        in_pos_ += n;
        done = reader_.took(n);
        continue;
      }
      const bool direct = space.size() >= in_.size();
      std::size_t n = 0;
      ViStatus status = receive_some(fd_.get(), direct ? space : std::span(in_), until, n, &receive_wait_);
      if (direct) {
        done = reader_.took(std::min(n, space.size()));
      } else {
        in_pos_ = 0;
        in_end_ = n;
      }
      if (status >= 0) continue;
      if (status != VI_ERROR_ABORT || !reader_.in_record() || until.woken()) return status;
      interrupted = true;
    }
    return *done;
  }

  ViStatus send_call(std::uint32_t prog, std::uint32_t vers, std::uint32_t proc,
                     std::span<const std::uint32_t> args,
                     std::optional<std::span<const std::byte>> opaque, const deadline& until) {
    if (!fd_) return VI_ERROR_CONN_LOST;
    // A reply still owed to an earlier call is skipped by its xid once this call is made.
    read_pending_ = false;
    sent_whole_ = false;
    // Not zero-filled: the head is written whole and the padding explicitly.
    std::array<std::byte, max_call_head + small_write + 3> buffer;
    const std::optional<std::size_t> opaque_size =
        opaque ? std::optional<std::size_t>(opaque->size()) : std::nullopt;
    const std::size_t head = encode_call(std::span(buffer).first<max_call_head>(),
                                         {++last_xid_, prog, vers, proc}, args, opaque_size);
    if (head == 0) return VI_ERROR_INV_PARAMETER;
    const std::size_t pad = opaque ? xdr_pad(opaque->size()) : 0;

    // Half a call on the wire cannot be taken back: the server would read the next call as
    // its rest. So a signal stops the call only before its first byte; once begun, it goes
    // out whole and VI_ERROR_ABORT comes after it.
    std::size_t sent = 0;
    ViStatus status;
    if (!opaque || opaque->size() <= small_write) {
      std::size_t length = head;
      if (opaque) {
        if (!opaque->empty()) std::memcpy(buffer.data() + length, opaque->data(), opaque->size());
        length += opaque->size();
        std::memset(buffer.data() + length, 0, pad);
        length += pad;
      }
      status = send_frame(fd_.get(), std::span(buffer).first(length), {}, until, sent);
    } else {
      status = send_frame(fd_.get(), std::span(buffer).first(head), *opaque, until, sent);
      if ((status >= 0 || (status == VI_ERROR_ABORT && sent > 0)) && pad > 0) {
        static constexpr std::array<std::byte, 3> zeros{};
        std::size_t padded = 0;
        const ViStatus rest = send_frame(fd_.get(), std::span(zeros).first(pad), {}, until, padded, true);
        if (rest < 0) status = rest;
      }
    }
    if (status == VI_ERROR_ABORT) {
      // Not sent at all, or sent whole: the stream is in step either way. A reply to a call
      // that went out is never waited for; its xid tells it apart from the next call's.
      if (sent > 0) in_step_ = false;
      sent_whole_ = sent > 0;
      return status;
    }
    if (status < 0) disconnect();
    sent_whole_ = status >= 0;
    receive_wait_.answer_due = sent_whole_;
    return status;
  }

  // A timeout or a signal leaves the reader's place in the stream known, so the connection
  // stays for the next call, which skips the rest of this reply by its xid; anything else (a
  // lost connection, a reply that makes no sense) ends it.
  ViStatus settle(ViStatus status) {
    const bool gave_up = status == VI_ERROR_TMO || status == VI_ERROR_ABORT;
    if (status < 0 && !gave_up) disconnect();
    in_step_ = !gave_up;
    return status;
  }

  unique_fd fd_;
  receive_wait receive_wait_;
  record_reader reader_;
  std::array<std::byte, receive_buffer_size> in_;
  std::size_t in_pos_ = 0;  // in_[in_pos_, in_end_) is received and not yet decoded
  std::size_t in_end_ = 0;
  std::uint32_t last_xid_ = 0;
  bool in_step_ = true;
  bool read_pending_ = false;
  bool sent_whole_ = false;  // the last call went out whole
};

// The numeric address the socket is connected to, so the core channel reaches the host whose
// port mapper answered (a name may resolve to several) without resolving it again.
std::string peer_address(io_handle fd, const std::string& fallback) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  char host[NI_MAXHOST];
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fallback;
  if (::getnameinfo(reinterpret_cast<sockaddr*>(&addr), len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0) {
    return fallback;
  }
  return host;
}

class vxi11_transport final : public transport {
 public:
  ViStatus open(const resource_name& name, const deadline& until) override {
    const auto& target = std::get<vxi11_address>(name.address);
    rpc_channel mapper;
    ViStatus status = mapper.connect(target.host, pmap_port, until);
    if (status < 0) return status;
    const std::array<std::uint32_t, 4> mapping = {device_core, device_core_version, ipproto_tcp, 0};
    std::array<std::uint32_t, 1> port{};
    status = mapper.call(pmap_prog, pmap_vers, pmapproc_getport, mapping, std::nullopt, until, port);
    if (status < 0) return status;
    // Port 0: the host runs a port mapper but no VXI-11 server.
    if (port[0] == 0) return VI_ERROR_RSRC_NFOUND;
    if (port[0] > 65535) return VI_ERROR_IO;
    const std::string address = peer_address(mapper.fd(), target.host);
    mapper.disconnect();

    status = core_.connect(address, static_cast<std::uint16_t>(port[0]), until);
    if (status < 0) return status;
    const std::array<std::uint32_t, 3> parms = {static_cast<std::uint32_t>(::getpid()), 0, 0};
    std::array<std::uint32_t, 4> link{};  // error, lid, abortPort, maxRecvSize
    status = core_.call(device_core, device_core_version, static_cast<std::uint32_t>(core_proc::create_link),
                        parms, std::as_bytes(std::span(target.device_name)), until, link);
    if (status >= 0) status = to_status(static_cast<device_error>(link[0]));
    if (status < 0) {
      core_.disconnect();
      return status;
    }
    lid_ = link[1];
    linked_ = true;
    max_recv_size_ = link[3] == 0 ? min_max_recv_size : link[3];
    return VI_SUCCESS;
  }

  // tail stays empty: the END flag of device_write marks the end of a message.
  ViStatus write(std::span<const std::byte> data, std::span<const std::byte>, bool end,
                 const deadline& until, std::size_t& written) override {
    written = 0;
    if (!core_.connected()) return VI_ERROR_CONN_LOST;
    // An empty write with END still ends the message that earlier writes without END began.
    if (data.empty() && !end) return VI_SUCCESS;
    const std::size_t chunk_limit = std::min<std::size_t>(max_recv_size_, max_call_opaque);
    do {
      const std::size_t chunk = std::min(data.size() - written, chunk_limit);
      const bool last = written + chunk == data.size();
      const ViUInt32 io_timeout = io_timeout_ms(until);
      const std::array<std::uint32_t, 4> parms = {lid_, io_timeout, 0, end && last ? flag_end : 0};
      std::array<std::uint32_t, 2> reply{};  // error, size
      ViStatus status = core_.call(device_core, device_core_version,
                                   static_cast<std::uint32_t>(core_proc::device_write), parms,
                                   data.subspan(written, chunk), rpc_deadline(io_timeout, until), reply);
      if (status < 0) return status;
      if (reply[1] > chunk) return VI_ERROR_IO;
      written += reply[1];
      status = to_status(static_cast<device_error>(reply[0]));
      if (status < 0) return status;
      // Taking nothing without an error would have the client repeat itself forever.
      if (reply[1] == 0 && chunk > 0) return VI_ERROR_IO;
    } while (written < data.size());
    return VI_SUCCESS;
  }

  ViStatus read(std::span<std::byte> space, const read_rules& rules, const deadline& until,
                std::size_t& count, bool& end) override {
    count = 0;
    end = false;
    if (!excess_.empty()) {
      count = excess_.take(space, end);
      return VI_SUCCESS;
    }
    if (!core_.connected()) return VI_ERROR_CONN_LOST;
    const std::uint32_t request = static_cast<std::uint32_t>(std::min<std::size_t>(space.size(), 0xFFFF'FFFF));
    for (;;) {
      const ViUInt32 io_timeout = io_timeout_ms(until);
      // The instrument stops at the termination character itself; the core checks it again.
      const std::array<std::uint32_t, 6> parms = {
          lid_, request, io_timeout, 0, rules.termchar_enabled ? flag_termchrset : 0, rules.termchar};
      read_reply reply;
      bool interrupted = false;
      ViStatus status =
          core_.read_pending()
              ? core_.pending_read_reply(rpc_deadline(io_timeout, until), space.first(request), excess_, reply, interrupted)
              : core_.read_call(parms, rpc_deadline(io_timeout, until), space.first(request), excess_, reply, interrupted);
      count = reply.count;
      if (status >= 0) status = to_status(reply.error);
      if (status < 0) {
        // A response broken off by an error does not go on at the next read.
        excess_.clear();
        return status;
      }
      const bool end_here = (reply.reason & reason_end) != 0;
      // END belongs to the reply's last byte: the held excess, when the peer sent more.
      if (excess_.empty()) end = end_here;
      else excess_.set_end(end_here);
      // The reply a signal came during is delivered whole; unless it ended the response, the
      // read ends there.
      if (interrupted && !end) return VI_ERROR_ABORT;
      if (count > 0 || end) return VI_SUCCESS;
      // Nothing yet and no END: the server's own buffer filled with nothing to show; ask again
      // while time is left.
      if (until.expired()) return VI_ERROR_TMO;
    }
  }

  ViStatus clear(const deadline& until) override {
    excess_.clear();
    std::array<std::uint32_t, 1> error{};
    return generic_call(core_proc::device_clear, until, error);
  }

  ViStatus read_stb(const deadline& until, ViUInt16& status_byte) override {
    std::array<std::uint32_t, 2> reply{};  // error, stb
    ViStatus status = generic_call(core_proc::device_readstb, until, reply);
    if (status >= 0) status_byte = static_cast<ViUInt16>(reply[1] & 0xFF);
    return status;
  }

  ViStatus assert_trigger(ViUInt16 protocol, const deadline& until) override {
    if (protocol != VI_TRIG_PROT_DEFAULT) return VI_ERROR_INV_PROT;
    std::array<std::uint32_t, 1> error{};
    return generic_call(core_proc::device_trigger, until, error);
  }

  void close() noexcept override {
    if (linked_ && core_.connected() && core_.in_step()) {
      // Lets the server free the link now rather than when it notices the connection is gone.
      // Not behind a reply still on its way: the server frees the link when the connection
      // closes, and close must not wait for a slow or stuck instrument.
      const std::array<std::uint32_t, 1> parms = {lid_};
      std::array<std::uint32_t, 1> error{};
      core_.call(device_core, device_core_version, static_cast<std::uint32_t>(core_proc::destroy_link), parms,
                 std::nullopt, deadline::after_ms(close_wait_ms), error);
    }
    linked_ = false;
    core_.disconnect();
  }

  // In another process the link is the opener's: destroy_link there would end it for them.
  void drop() noexcept override {
    linked_ = false;
    core_.disconnect();
  }

 private:
  // A call that takes Device_GenericParms (lid, flags, lock_timeout, io_timeout) and answers
  // with Device_Error first; results[0] is that error, the rest what follows it.
  ViStatus generic_call(core_proc proc, const deadline& until, std::span<std::uint32_t> results) {
    if (!core_.connected()) return VI_ERROR_CONN_LOST;
    const ViUInt32 io_timeout = io_timeout_ms(until);
    const std::array<std::uint32_t, 4> parms = {lid_, 0, 0, io_timeout};
    ViStatus status = core_.call(device_core, device_core_version, static_cast<std::uint32_t>(proc), parms,
                                 std::nullopt, rpc_deadline(io_timeout, until), results);
    return status < 0 ? status : to_status(static_cast<device_error>(results[0]));
  }

  rpc_channel core_;
  std::uint32_t lid_ = 0;
  bool linked_ = false;
  std::uint32_t max_recv_size_ = min_max_recv_size;
  // Data a server sent beyond what a read asked for, delivered by the next reads.
  held_bytes excess_;
};

std::unique_ptr<transport> make_vxi11_transport() { return std::make_unique<vxi11_transport>(); }

constexpr ViAttr address_attributes[] = {VI_ATTR_TCPIP_ADDR, VI_ATTR_TCPIP_HOSTNAME, VI_ATTR_TCPIP_DEVICE_NAME};

ViStatus get_address_attribute(const resource_name& name, ViAttr attr, void* out) {
  const auto& address = std::get<vxi11_address>(name.address);
  return put_attribute_string(attr == VI_ATTR_TCPIP_DEVICE_NAME ? address.device_name : address.host, out);
}

// An instrument whose port mapper names a core channel, or that announces one over mDNS.
std::string discovered_name(const lan_service& found) {
  if (found.protocol != lan_protocol::vxi11) return {};
  return std::string(discovered_name_prefix) + ipv4_text(found.address) + "::inst0::INSTR";
}

}  // namespace

constinit const transport_entry vxi11_transport_entry{
    VI_INTF_TCPIP, "INSTR", address_index<vxi11_address>, "VXI-11", true, &make_vxi11_transport, nullptr,
    address_attributes, &get_address_attribute, &discovered_name};

}  // namespace kobrant::visa
