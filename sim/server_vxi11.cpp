// VXI-11 (TCPIP INSTR) for the simulated instrument, over ONC RPC on TCP. The port mapper
// answers GETPORT for the core channel. On the core channel each link has its own instrument
// session: device_write brings it program messages (a message ends at a newline or with END, as
// over GPIB), device_read takes the answers, at most requestSize bytes a call, END with the last
// byte of each answer. An answer that stops short makes a read wait io_timeout and report the
// I/O timeout with what it has, as an instrument does; one that ends in a drop or a reset ends
// the connection after its last byte; a paced one drips its bytes out inside the reply. Calls
// on a connection are answered one at a time, in order.
#include "server_vxi11.h"

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "hostile.h"
#include "answer.h"
#include "instrument.h"
#include "tcp.h"
#include "udp.h"

namespace kobrant::sim {
namespace {

constexpr std::string_view transport_name = "VXI11";

// ONC RPC.
constexpr std::uint32_t rpc_version = 2;
constexpr std::uint32_t msg_call = 0;
constexpr std::uint32_t msg_reply = 1;
constexpr std::uint32_t msg_accepted = 0;
constexpr std::uint32_t msg_denied = 1;
enum accept_stat : std::uint32_t { success = 0, prog_unavail = 1, prog_mismatch = 2, proc_unavail = 3, garbage_args = 4 };
constexpr std::uint32_t rpc_mismatch = 0;
constexpr std::uint32_t max_auth_bytes = 400;
constexpr std::uint32_t last_fragment = 0x8000'0000;

// The port mapper.
constexpr std::uint32_t pmap_prog = 100000;
constexpr std::uint32_t pmap_vers = 2;
constexpr std::uint32_t pmapproc_null = 0;
constexpr std::uint32_t pmapproc_getport = 3;
constexpr std::uint32_t pmapproc_dump = 4;
constexpr std::uint32_t ipproto_tcp = 6;

// The core channel.
constexpr std::uint32_t device_core = 0x0607AF;
constexpr std::uint32_t device_core_version = 1;
enum core_proc : std::uint32_t {
  create_link = 10,
  device_write = 11,
  device_read = 12,
  device_readstb = 13,
  device_trigger = 14,
  device_clear = 15,
  device_remote = 16,
  device_local = 17,
  device_lock = 18,
  device_unlock = 19,
  device_enable_srq = 20,
  device_docmd = 22,
  destroy_link = 23,
  create_intr_chan = 25,
  destroy_intr_chan = 26,
};
constexpr std::uint32_t flag_end = 0x08;
constexpr std::uint32_t flag_termchrset = 0x80;
constexpr std::uint32_t reason_reqcnt = 1;
constexpr std::uint32_t reason_chr = 2;
constexpr std::uint32_t reason_end = 4;
enum device_error : std::uint32_t {
  no_error = 0,
  device_not_accessible = 3,
  invalid_link_identifier = 4,
  parameter_error = 5,
  operation_not_supported = 8,
  io_timeout = 15,
};

// A call's headers and fixed arguments take far less than this beyond its opaque data.
constexpr std::size_t call_overhead = 2048;
// Bytes of one program message kept for the instrument to read; anything past this is still
// recorded but not interpreted, so a client cannot make the server hold unbounded input.
constexpr std::size_t max_program_message = std::size_t{16} << 20;
// One reply's data must fit one fragment with its header.
constexpr std::uint64_t max_reply_data = 0x7FFF'0000;

std::uint32_t get_u32(const std::byte* at) {
  return std::uint32_t(at[0]) << 24 | std::uint32_t(at[1]) << 16 | std::uint32_t(at[2]) << 8 | std::uint32_t(at[3]);
}

void append_u32(std::vector<std::byte>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::byte>(value >> shift));
}

std::size_t xdr_pad(std::size_t n) { return (4 - n % 4) % 4; }

// Reads XDR items from a call's bytes; any read past the end leaves ok() false.
class xdr_reader {
 public:
  explicit xdr_reader(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::uint32_t u32() {
    if (!ok_ || bytes_.size() - at_ < 4) return fail();
    const std::uint32_t value = get_u32(bytes_.data() + at_);
    at_ += 4;
    return value;
  }
  // Opaque data or a string, at most max_len bytes; a view into the call's bytes.
  std::span<const std::byte> opaque(std::size_t max_len) {
    const std::uint32_t length = u32();
    if (!ok_ || length > max_len || bytes_.size() - at_ < length + xdr_pad(length)) {
      fail();
      return {};
    }
    const auto data = bytes_.subspan(at_, length);
    at_ += length + xdr_pad(length);
    return data;
  }
  bool ok() const { return ok_; }
  std::size_t position() const { return at_; }

 private:
  std::uint32_t fail() {
    ok_ = false;
    return 0;
  }
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
  bool ok_ = true;
};

// Reads one record, its fragments joined, into body. False when the connection ended or the
// record would exceed max_size: the size is the client's word and nothing is allocated past
// what the server is prepared to hold.
bool receive_record(int fd, std::size_t max_size, std::vector<std::byte>& body) {
  body.clear();
  for (;;) {
    std::byte mark[4];
    if (!receive_exact(fd, mark)) return false;
    const std::uint32_t word = get_u32(mark);
    const std::size_t length = word & ~last_fragment;
    if (length > max_size - body.size()) return false;
    const std::size_t old_size = body.size();
    body.resize(old_size + length);
    if (!receive_exact(fd, std::span(body).subspan(old_size))) return false;
    if (word & last_fragment) return true;
  }
}

struct call_header {
  std::uint32_t xid = 0;
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t proc = 0;
};

// The start of a reply record: mark (length filled in by finish_reply), xid, an accepted reply
// with an empty verifier, and its accept_stat.
std::vector<std::byte> start_reply(std::uint32_t xid, std::uint32_t stat = success) {
  std::vector<std::byte> reply;
  reply.reserve(64);
  append_u32(reply, 0);
  append_u32(reply, xid);
  append_u32(reply, msg_reply);
  append_u32(reply, msg_accepted);
  append_u32(reply, 0);  // verifier: AUTH_NONE, empty
  append_u32(reply, 0);
  append_u32(reply, stat);
  return reply;
}

// Sets the record mark for a reply of reply.size() bytes plus extra bytes sent after it.
void finish_reply(std::vector<std::byte>& reply, std::uint64_t extra = 0) {
  const auto length = static_cast<std::uint32_t>(reply.size() - 4 + extra);
  const std::uint32_t mark = last_fragment | length;
  for (int i = 0; i < 4; ++i) reply[static_cast<std::size_t>(i)] = static_cast<std::byte>(mark >> (24 - 8 * i));
}

bool send_reply(int fd, std::vector<std::byte> reply) {
  finish_reply(reply);
  return send_all(fd, reply);
}

bool send_rejection(int fd, std::uint32_t xid, std::uint32_t stat, std::uint32_t low = 0, std::uint32_t high = 0) {
  std::vector<std::byte> reply = start_reply(xid, stat);
  if (stat == prog_mismatch) {
    append_u32(reply, low);
    append_u32(reply, high);
  }
  return send_reply(fd, std::move(reply));
}

// Parses a call's header; the arguments follow in args. Replies itself (and returns nothing)
// to what is no call this server can take.
// Reads a call's header up to its arguments: the message type and the RPC version come back
// for the caller to judge.
call_header read_call_header(xdr_reader& in, std::uint32_t& type, std::uint32_t& version) {
  call_header call;
  call.xid = in.u32();
  type = in.u32();
  version = in.u32();
  call.prog = in.u32();
  call.vers = in.u32();
  call.proc = in.u32();
  in.u32();  // credentials and verifier: whatever the client sends is accepted
  in.opaque(max_auth_bytes);
  in.u32();
  in.opaque(max_auth_bytes);
  return call;
}

std::optional<call_header> parse_call(int fd, std::span<const std::byte> body, xdr_reader& args, bool& keep) {
  keep = true;
  xdr_reader in(body);
  std::uint32_t type = 0, version = 0;
  const call_header call = read_call_header(in, type, version);
  if (!in.ok() || type != msg_call) {
    keep = false;  // not a call at all: the stream is not worth reading on
    return std::nullopt;
  }
  if (version != rpc_version) {
    std::vector<std::byte> reply;
    append_u32(reply, 0);
    append_u32(reply, call.xid);
    append_u32(reply, msg_reply);
    append_u32(reply, msg_denied);
    append_u32(reply, rpc_mismatch);
    append_u32(reply, rpc_version);
    append_u32(reply, rpc_version);
    keep = send_reply(fd, std::move(reply));
    return std::nullopt;
  }
  args = xdr_reader(body.subspan(in.position()));
  return call;
}

// What GETPORT answers: the core channel's port, the mapper's own, or 0 for a program that is
// not registered.
std::uint32_t mapped_port(xdr_reader& args, std::uint16_t core_port, std::uint16_t portmap_port) {
  const std::uint32_t prog = args.u32(), vers = args.u32(), prot = args.u32();
  args.u32();
  const bool core = prog == device_core && vers == device_core_version && prot == ipproto_tcp;
  const bool mapper = prog == pmap_prog && vers == pmap_vers && prot == ipproto_tcp;
  return core ? core_port : mapper ? portmap_port : 0;
}

// The port mapper over UDP, where discovery's broadcasts reach it: NULL and GETPORT, one
// datagram each. Anything else goes unanswered, so a broadcast of some other call is not met
// by a refusal from every host.
std::optional<std::vector<std::byte>> answer_portmap_datagram(std::span<const std::byte> datagram,
                                                             std::uint16_t core_port, std::uint16_t portmap_port) {
  xdr_reader in(datagram);
  std::uint32_t type = 0, version = 0;
  const call_header call = read_call_header(in, type, version);
  if (!in.ok() || type != msg_call || version != rpc_version || call.prog != pmap_prog || call.vers != pmap_vers)
    return std::nullopt;
  std::vector<std::byte> reply = start_reply(call.xid);
  if (call.proc == pmapproc_getport) {
    const std::uint32_t port = mapped_port(in, core_port, portmap_port);
    if (!in.ok()) return std::nullopt;
    append_u32(reply, port);
  } else if (call.proc != pmapproc_null) {
    return std::nullopt;
  }
  reply.erase(reply.begin(), reply.begin() + 4);  // a datagram has no record mark
  return reply;
}

// The port mapper: GETPORT for the core channel, NULL and DUMP; rpcbind's newer versions get a
// version mismatch naming version 2, so their clients fall back to it.
void serve_portmapper(int fd, std::uint16_t core_port, std::uint16_t portmap_port, hostile mode) {
  if (mode == hostile::mute_handshake) return read_until_closed(fd);
  std::vector<std::byte> body;
  while (receive_record(fd, call_overhead, body)) {
    xdr_reader args(body);
    bool keep = true;
    const auto call = parse_call(fd, body, args, keep);
    if (!keep) return;
    if (!call) continue;
    bool sent = true;
    if (call->prog != pmap_prog) {
      sent = send_rejection(fd, call->xid, prog_unavail);
    } else if (call->vers != pmap_vers) {
      sent = send_rejection(fd, call->xid, prog_mismatch, pmap_vers, pmap_vers);
    } else if (call->proc == pmapproc_null) {
      sent = send_reply(fd, start_reply(call->xid));
    } else if (call->proc == pmapproc_getport) {
      const std::uint32_t port = mapped_port(args, core_port, portmap_port);
      if (!args.ok()) {
        sent = send_rejection(fd, call->xid, garbage_args);
      } else {
        std::vector<std::byte> reply = start_reply(call->xid);
        append_u32(reply, port);
        sent = send_reply(fd, std::move(reply));
      }
    } else if (call->proc == pmapproc_dump) {
      std::vector<std::byte> reply = start_reply(call->xid);
      for (const auto& [prog, vers, port] : {std::array<std::uint32_t, 3>{pmap_prog, pmap_vers, portmap_port},
                                             std::array<std::uint32_t, 3>{device_core, device_core_version, core_port}}) {
        append_u32(reply, 1);  // another entry follows
        append_u32(reply, prog);
        append_u32(reply, vers);
        append_u32(reply, ipproto_tcp);
        append_u32(reply, port);
      }
      append_u32(reply, 0);
      sent = send_reply(fd, std::move(reply));
    } else {
      sent = send_rejection(fd, call->xid, proc_unavail);
    }
    if (!sent) return;
  }
}

// One link: the instrument as this client sees it, the message being assembled, and the
// answers waiting to be read, the first of them partly read.
struct link_state {
  instrument_session instrument;
  std::vector<std::byte> partial;
  bool partial_overflow = false;
  std::deque<response> answers;
  std::uint64_t front_sent = 0;
};

std::atomic<std::uint32_t> next_link_id{1};

// "inst" and a number, in any case: the names an instrument answers to.
bool is_instrument_name(std::span<const std::byte> name) {
  const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
  if (text.size() < 5) return false;
  for (std::size_t i = 0; i < 4; ++i) {
    if ((text[i] | 0x20) != "inst"[i]) return false;
  }
  return std::all_of(text.begin() + 4, text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class core_connection {
 public:
  core_connection(int fd, std::uint32_t max_recv_size, const record& rec, hostile mode)
      : fd_(fd), max_recv_size_(max_recv_size), rec_(rec), hostile_(mode) {}

  void serve() {
    if (hostile_ == hostile::mute_link) return read_until_closed(fd_);
    std::vector<std::byte> body;
    while (receive_record(fd_, max_recv_size_ + call_overhead, body)) {
      xdr_reader args(body);
      bool keep = true;
      const auto call = parse_call(fd_, body, args, keep);
      if (!keep) return;
      if (call && !handle(*call, args)) return;
    }
  }

 private:
  // False when the connection is to end.
  bool handle(const call_header& call, xdr_reader& args) {
    if (call.prog != device_core) return send_rejection(fd_, call.xid, prog_unavail);
    if (call.vers != device_core_version) {
      return send_rejection(fd_, call.xid, prog_mismatch, device_core_version, device_core_version);
    }
    switch (call.proc) {
      case 0: return send_reply(fd_, start_reply(call.xid));
      case create_link: return on_create_link(call, args);
      case device_write: return on_device_write(call, args);
      case device_read: return on_device_read(call, args);
      case device_clear: return on_generic(call, args, true);
      case device_readstb: return on_readstb(call, args);
      case device_trigger: return on_trigger(call, args);
      case device_remote: case device_local: case device_lock:
      case device_unlock: case device_enable_srq: return on_generic(call, args, false);
      case destroy_link: return on_destroy_link(call, args);
      case device_docmd: case create_intr_chan: case destroy_intr_chan: {
        std::vector<std::byte> reply = start_reply(call.xid);
        append_u32(reply, operation_not_supported);
        if (call.proc == device_docmd) append_u32(reply, 0);  // empty data_out
        return send_reply(fd_, std::move(reply));
      }
      default: return send_rejection(fd_, call.xid, proc_unavail);
    }
  }

  bool reply_error(const call_header& call, std::uint32_t error, std::initializer_list<std::uint32_t> rest = {}) {
    std::vector<std::byte> reply = start_reply(call.xid);
    append_u32(reply, error);
    for (std::uint32_t word : rest) append_u32(reply, word);
    return send_reply(fd_, std::move(reply));
  }

  link_state* find_link(std::uint32_t lid) {
    const auto found = links_.find(lid);
    return found == links_.end() ? nullptr : &found->second;
  }

  bool on_create_link(const call_header& call, xdr_reader& args) {
    args.u32();  // clientId
    args.u32();  // lockDevice: a lock is always granted, nobody else holds one for long
    args.u32();  // lock_timeout
    const auto device = args.opaque(256);
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    if (!is_instrument_name(device)) return reply_error(call, device_not_accessible, {0, 0, 0});
    const std::uint32_t lid = next_link_id++;
    links_.try_emplace(lid);
    return reply_error(call, no_error, {lid, 0, max_recv_size_});  // no abort channel: port 0
  }

  bool on_device_write(const call_header& call, xdr_reader& args) {
    const std::uint32_t lid = args.u32();
    args.u32();  // io_timeout: writes complete at once
    args.u32();  // lock_timeout
    const std::uint32_t flags = args.u32();
    const auto data = args.opaque(SIZE_MAX);
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    link_state* link = find_link(lid);
    if (!link) return reply_error(call, invalid_link_identifier, {0});
    if (data.size() > max_recv_size_) return reply_error(call, parameter_error, {0});
    const bool end = (flags & flag_end) != 0;
    rec_.append(transport_name, end, data);
    take_message_bytes(*link, data, end);
    return reply_error(call, no_error, {static_cast<std::uint32_t>(data.size())});
  }

  // A program message ends at a newline or with END; each complete one is answered.
  void take_message_bytes(link_state& link, std::span<const std::byte> data, bool end) {
    while (!data.empty()) {
      const auto newline = std::find(data.begin(), data.end(), std::byte{'\n'});
      if (newline == data.end()) {
        keep_partial(link, data);
        break;
      }
      const auto length = static_cast<std::size_t>(newline - data.begin()) + 1;
      keep_partial(link, data.first(length));
      finish_message(link);
      data = data.subspan(length);
    }
    if (end && (!link.partial.empty() || link.partial_overflow)) finish_message(link);
  }

  void keep_partial(link_state& link, std::span<const std::byte> bytes) {
    const std::size_t room = max_program_message - std::min(max_program_message, link.partial.size());
    if (bytes.size() > room) link.partial_overflow = true;
    link.partial.insert(link.partial.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(room, bytes.size())));
  }

  void finish_message(link_state& link) {
    if (!link.partial_overflow) {
      response answer = link.instrument.respond(link.partial);
      if (answer.size() > 0 || answer.after() != after_answer::carry_on) link.answers.push_back(std::move(answer));
    }
    link.partial.clear();
    link.partial_overflow = false;
  }

  // Waits io_timeout ms, as an instrument with nothing to say does; false when the client left
  // (or the server is stopping) meanwhile.
  bool wait_io_timeout(std::uint32_t io_timeout_ms) { return wait_while_connected(fd_, io_timeout_ms); }

  bool on_device_read(const call_header& call, xdr_reader& args) {
    const std::uint32_t lid = args.u32();
    const std::uint32_t request_size = args.u32();
    const std::uint32_t io_timeout_ms = args.u32();
    args.u32();  // lock_timeout
    const std::uint32_t flags = args.u32();
    const auto term_char = static_cast<std::byte>(args.u32() & 0xFF);
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    link_state* link = find_link(lid);
    if (!link) return reply_error(call, invalid_link_identifier, {0, 0});
    if (request_size == 0) return reply_error(call, no_error, {reason_reqcnt, 0});
    if (link->answers.empty()) {
      return wait_io_timeout(io_timeout_ms) && reply_error(call, io_timeout, {0, 0});
    }

    response& answer = link->answers.front();
    const std::uint64_t remaining = answer.size() - link->front_sent;
    std::uint64_t count = std::min<std::uint64_t>({request_size, remaining, max_reply_data});
    // A broken reply comes where the answer's second half would start, so the client has the
    // first half to keep.
    if (hostile_ == hostile::garbage_header || hostile_ == hostile::huge_length) {
      const std::uint64_t half = answer.size() / 2;
      if (link->front_sent >= half) return send_broken_reply(call, answer, std::min(count, remaining));
      count = std::min(count, half - link->front_sent);
    }
    bool term_char_seen = false;
    if (flags & flag_termchrset) {
      // Where the termination character falls, found on a copy so the answer itself is sent
      // from where it stands.
      response probe = answer;
      for (std::uint64_t scanned = 0; scanned < count;) {
        const auto piece = probe.next(static_cast<std::size_t>(std::min<std::uint64_t>(count - scanned, send_piece)));
        const auto hit = std::find(piece.begin(), piece.end(), term_char);
        if (hit != piece.end()) {
          count = scanned + static_cast<std::uint64_t>(hit - piece.begin()) + 1;
          term_char_seen = true;
          break;
        }
        scanned += piece.size();
      }
    }
    const bool runs_out = count == remaining && !term_char_seen;
    const after_answer after = answer.after();
    std::uint32_t error = no_error;
    std::uint32_t reason = (count == request_size ? reason_reqcnt : 0) | (term_char_seen ? reason_chr : 0);
    if (after == after_answer::carry_on) {
      if (count == remaining) reason |= reason_end;
    } else if (runs_out && (after == after_answer::drop || after == after_answer::reset)) {
      if (count == 0) return carry_on_after(fd_, after);  // nothing more to say: ends it
    } else if (runs_out && count < request_size) {
      // A stalled answer: what there is comes after io_timeout, as the instrument's timeout.
      if (!wait_io_timeout(io_timeout_ms)) return false;
      error = io_timeout;
    }

    std::vector<std::byte> reply = start_reply(call.xid);
    append_u32(reply, error);
    append_u32(reply, reason);
    append_u32(reply, static_cast<std::uint32_t>(count));
    const std::size_t pad = xdr_pad(static_cast<std::size_t>(count));
    finish_reply(reply, count + pad);
    // A paced answer drips out byte by byte inside its reply, each byte sent at once.
    const bool paced = answer.gap().count() > 0;
    if (!send_all(fd_, reply, count > 0 && !paced)) return false;
    if (!send_answer_bytes(fd_, answer, count, pad > 0)) return false;
    static constexpr std::byte zeros[3] = {};
    if (pad > 0 && !send_all(fd_, std::span(zeros, pad))) return false;

    link->front_sent += count;
    if (link->front_sent < answer.size()) return true;
    link->answers.pop_front();
    link->front_sent = 0;
    return carry_on_after(fd_, after);
  }

  // In place of a reply: bytes that are neither a record mark nor an RPC reply, or a whole
  // reply of count bytes whose record mark announces the largest fragment there is (2^31 - 1
  // bytes, the last one). Either way nothing follows, and the connection reads on until the
  // client gives up on it.
  bool send_broken_reply(const call_header& call, response& answer, std::uint64_t count) {
    if (hostile_ == hostile::garbage_header) {
      static constexpr std::string_view garbage = "no record mark, no reply\n";
      if (!send_all(fd_, std::as_bytes(std::span(garbage)))) return false;
    } else {
      std::vector<std::byte> reply = start_reply(call.xid);
      append_u32(reply, no_error);
      append_u32(reply, reason_end);
      append_u32(reply, static_cast<std::uint32_t>(count));
      for (std::size_t i = 0; i < 4; ++i) reply[i] = std::byte{0xFF};
      if (!send_all(fd_, reply, count > 0)) return false;
      for (std::uint64_t sent = 0; sent < count;) {
        const auto piece = answer.next(static_cast<std::size_t>(std::min<std::uint64_t>(count - sent, send_piece)));
        sent += piece.size();
        if (!send_all(fd_, piece, sent < count)) return false;
      }
    }
    read_until_closed(fd_);
    return false;
  }

  // The status byte: the instrument's own bits, and MAV while an answer waits to be read.
  bool on_readstb(const call_header& call, xdr_reader& args) {
    const std::uint32_t lid = args.u32();
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    const link_state* link = find_link(lid);
    if (!link) return reply_error(call, invalid_link_identifier, {0});
    const std::uint32_t stb = link->instrument.status_bits() | (link->answers.empty() ? 0 : status_mav);
    return reply_error(call, no_error, {stb});
  }

  // A trigger has no effect on the instrument; it is recorded so a test can see it arrived.
  bool on_trigger(const call_header& call, xdr_reader& args) {
    const std::uint32_t lid = args.u32();
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    if (!find_link(lid)) return reply_error(call, invalid_link_identifier);
    rec_.append(std::string(transport_name) + ":device_trigger", false, {});
    return reply_error(call, no_error);
  }

  // device_clear discards the link's input and answers; the others succeed without effect.
  bool on_generic(const call_header& call, xdr_reader& args, bool clear) {
    const std::uint32_t lid = args.u32();
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    link_state* link = find_link(lid);
    if (!link) return reply_error(call, invalid_link_identifier);
    if (clear) {
      link->partial.clear();
      link->partial_overflow = false;
      link->answers.clear();
      link->front_sent = 0;
    }
    return reply_error(call, no_error);
  }

  bool on_destroy_link(const call_header& call, xdr_reader& args) {
    const std::uint32_t lid = args.u32();
    if (!args.ok()) return send_rejection(fd_, call.xid, garbage_args);
    return reply_error(call, links_.erase(lid) > 0 ? no_error : invalid_link_identifier);
  }

  int fd_;
  std::uint32_t max_recv_size_;
  const record& rec_;
  const hostile hostile_;
  std::map<std::uint32_t, link_state> links_;
};

struct listeners {
  unique_fd core;
  unique_fd mapper;
};

class vxi11_server final : public server {
 public:
  vxi11_server(listeners fds, const std::string& address, std::optional<std::uint16_t> udp_port,
               std::uint32_t max_recv_size, const record& rec, hostile mode)
      : host_(resource_host(fds.core.get())),
        core_port_(local_port(fds.core.get())),
        mapper_port_(local_port(fds.mapper.get())),
        core_(std::move(fds.core),
              [max_recv_size, &rec, mode](int fd) { core_connection(fd, max_recv_size, rec, mode).serve(); }),
        mapper_(std::move(fds.mapper),
                [this, mode](int fd) { serve_portmapper(fd, core_port_, mapper_port_, mode); }) {
    if (udp_port == 0 || mode == hostile::mute_handshake) return;
    const auto answer = [this](std::span<const std::byte> datagram) {
      return answer_portmap_datagram(datagram, core_port_, mapper_port_);
    };
    try {
      udp_mapper_ = std::make_unique<udp_server>(address, udp_port.value_or(mapper_port_), answer);
    } catch (const std::system_error&) {
      if (udp_port) throw;  // asked for: a failure is the caller's to see
    }
  }

  std::string resource_name() const override { return "TCPIP0::" + host_ + "::inst0::INSTR"; }
  void stop() override {
    if (udp_mapper_) udp_mapper_->stop();
    mapper_.stop();
    core_.stop();
  }

 private:
  std::string host_;
  std::uint16_t core_port_;
  std::uint16_t mapper_port_;
  tcp_server core_;
  tcp_server mapper_;
  std::unique_ptr<udp_server> udp_mapper_;  // none when not asked for or the port was taken
};

}  // namespace

std::unique_ptr<server> make_vxi11_server(const std::string& address, std::uint16_t core_port,
                                          std::uint16_t portmap_port, std::optional<std::uint16_t> portmap_udp_port,
                                          std::uint32_t max_recv_size, const record& rec, hostile mode) {
  listeners fds{listen_tcp(address, core_port), listen_tcp(address, portmap_port)};
  return std::make_unique<vxi11_server>(std::move(fds), address, portmap_udp_port, max_recv_size, rec, mode);
}

}  // namespace kobrant::sim
