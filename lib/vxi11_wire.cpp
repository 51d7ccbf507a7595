// VXI-11 and ONC RPC byte work (see vxi11_wire.h): status mapping, call encoding, record
// marking and reply decoding. No sockets here; the transport and the tests bring the bytes.
#include "vxi11_wire.h"

#include <algorithm>
#include <cstring>

namespace kobrant::visa::vxi11 {

ViStatus to_status(device_error error) {
  switch (error) {
    case device_error::no_error: return VI_SUCCESS;
    case device_error::device_not_accessible:
    case device_error::invalid_address: return VI_ERROR_RSRC_NFOUND;
    // The server no longer knows the link (it restarted, or dropped it): only a new session helps.
    case device_error::invalid_link_identifier: return VI_ERROR_CONN_LOST;
    case device_error::parameter_error: return VI_ERROR_INV_PARAMETER;
    case device_error::channel_not_established:
    case device_error::operation_not_supported: return VI_ERROR_NSUP_OPER;
    // No link free on the server: the instrument is there but busy with other clients.
    case device_error::out_of_resources: return VI_ERROR_RSRC_BUSY;
    case device_error::device_locked_by_another_link: return VI_ERROR_RSRC_LOCKED;
    case device_error::no_lock_held_by_this_link: return VI_ERROR_SESN_NLOCKED;
    case device_error::io_timeout: return VI_ERROR_TMO;
    case device_error::abort: return VI_ERROR_ABORT;
    case device_error::syntax_error:
    case device_error::io_error:
    case device_error::channel_already_established: return VI_ERROR_IO;
  }
  return VI_ERROR_IO;  // a code the protocol does not define
}

ViStatus to_status(rpc_fault fault) {
  switch (fault) {
    case rpc_fault::none: return VI_SUCCESS;
    // The peer answers RPC but not with the program, version or procedure asked for: it is no
    // VXI-11 instrument, or one without this operation.
    case rpc_fault::prog_unavail:
    case rpc_fault::prog_mismatch:
    case rpc_fault::proc_unavail:
    case rpc_fault::rpc_mismatch: return VI_ERROR_NSUP_OPER;
    case rpc_fault::auth_error: return VI_ERROR_NPERMISSION;
    case rpc_fault::malformed:
    case rpc_fault::garbage_args:
    case rpc_fault::system_err: return VI_ERROR_IO;
  }
  return VI_ERROR_IO;
}

std::uint32_t get_u32(std::span<const std::byte> bytes, std::size_t offset) {
  return std::uint32_t(bytes[offset]) << 24 | std::uint32_t(bytes[offset + 1]) << 16 |
         std::uint32_t(bytes[offset + 2]) << 8 | std::uint32_t(bytes[offset + 3]);
}

void put_u32(std::span<std::byte> bytes, std::size_t offset, std::uint32_t value) {
  bytes[offset] = std::byte(value >> 24);
  bytes[offset + 1] = std::byte(value >> 16);
  bytes[offset + 2] = std::byte(value >> 8);
  bytes[offset + 3] = std::byte(value);
}

std::size_t encode_call(std::span<std::byte, max_call_head> out, const call_header& header,
                        std::span<const std::uint32_t> words, std::optional<std::size_t> opaque_size) {
  if (words.size() > max_call_words || (opaque_size && *opaque_size > max_call_opaque)) return 0;
  std::size_t at = 4;  // the fragment mark goes in last, once the length is known
  const auto put = [&](std::uint32_t value) {
    put_u32(out, at, value);
    at += 4;
  };
  put(header.xid);
  put(static_cast<std::uint32_t>(msg_type::call));
  put(rpc_version);
  put(header.prog);
  put(header.vers);
  put(header.proc);
  put(auth_none);  // credentials: flavor, empty body
  put(0);
  put(auth_none);  // verifier
  put(0);
  for (std::uint32_t word : words) put(word);
  std::size_t length = at - 4;
  if (opaque_size) {
    put(static_cast<std::uint32_t>(*opaque_size));
    length += 4 + *opaque_size + xdr_pad(*opaque_size);
  }
  put_u32(out, 0, last_fragment | static_cast<std::uint32_t>(length));
  return at;
}

fragment_header decode_fragment_header(std::span<const std::byte, 4> mark) {
  const std::uint32_t word = get_u32(mark, 0);
  return {(word & last_fragment) != 0, word & max_fragment_length};
}

reply_head decode_reply_head(std::span<const std::byte> prefix) {
  reply_head head;
  if (prefix.size() < head.need) return head;
  head.xid = get_u32(prefix, 0);
  if (get_u32(prefix, 4) != static_cast<std::uint32_t>(msg_type::reply)) {
    head.fault = rpc_fault::malformed;
    return head;
  }
  const std::uint32_t stat = get_u32(prefix, 8);
  if (stat == static_cast<std::uint32_t>(reply_stat::msg_denied)) {
    head.need = 16;
    if (prefix.size() < head.need) return head;
    const std::uint32_t reject = get_u32(prefix, 12);
    head.fault = reject == static_cast<std::uint32_t>(reject_stat::rpc_mismatch) ? rpc_fault::rpc_mismatch
                 : reject == static_cast<std::uint32_t>(reject_stat::auth_error) ? rpc_fault::auth_error
                                                                                 : rpc_fault::malformed;
    return head;
  }
  if (stat != static_cast<std::uint32_t>(reply_stat::msg_accepted)) {
    head.fault = rpc_fault::malformed;
    return head;
  }
  head.need = 20;  // the verifier's flavor and length
  if (prefix.size() < head.need) return head;
  const std::uint32_t verifier_length = get_u32(prefix, 16);
  if (verifier_length > max_auth_bytes) {
    head.fault = rpc_fault::malformed;
    return head;
  }
  head.need = 20 + verifier_length + xdr_pad(verifier_length) + 4;
  if (prefix.size() < head.need) return head;
  switch (static_cast<accept_stat>(get_u32(prefix, head.need - 4))) {
    case accept_stat::success: head.fault = rpc_fault::none; break;
    case accept_stat::prog_unavail: head.fault = rpc_fault::prog_unavail; break;
    case accept_stat::prog_mismatch: head.fault = rpc_fault::prog_mismatch; break;
    case accept_stat::proc_unavail: head.fault = rpc_fault::proc_unavail; break;
    case accept_stat::garbage_args: head.fault = rpc_fault::garbage_args; break;
    case accept_stat::system_err: head.fault = rpc_fault::system_err; break;
    default: head.fault = rpc_fault::malformed; break;
  }
  return head;
}

ViStatus record_reader::next_fragment(byte_source& source) {
  while (mark_have_ < mark_.size()) {
    std::size_t n = 0;
    ViStatus status = source.receive_some(std::span(mark_).subspan(mark_have_), n);
    mark_have_ += n;
    if (status < 0) return status;
  }
  const fragment_header header = decode_fragment_header(mark_);
  mark_have_ = 0;
  fragment_left_ = header.length;
  last_ = header.last;
  in_record_ = true;
  return VI_SUCCESS;
}

ViStatus record_reader::read(byte_source& source, std::span<std::byte> out, std::size_t& done) {
  done = 0;
  while (done < out.size()) {
    if (fragment_left_ == 0) {
      if (in_record_ && last_) {
        in_record_ = false;  // the record is over; what the caller expected is not there
        return VI_ERROR_IO;
      }
      ViStatus status = next_fragment(source);
      if (status < 0) return status;
      continue;
    }
    const std::size_t want = std::min<std::size_t>(out.size() - done, fragment_left_);
    std::size_t n = 0;
    ViStatus status = source.receive_some(out.subspan(done, want), n);
    n = std::min(n, want);
    done += n;
    fragment_left_ -= static_cast<std::uint32_t>(n);
    if (status < 0) return status;
  }
  return VI_SUCCESS;
}

ViStatus record_reader::skip_rest(byte_source& source) {
  std::array<std::byte, 16 * 1024> scratch;
  while (in_record()) {
    if (fragment_left_ == 0) {
      if (in_record_ && last_) {
        in_record_ = false;
        break;
      }
      ViStatus status = next_fragment(source);
      if (status < 0) return status;
      continue;
    }
    const std::size_t want = std::min<std::size_t>(scratch.size(), fragment_left_);
    std::size_t n = 0;
    ViStatus status = source.receive_some(std::span(scratch).first(want), n);
    fragment_left_ -= static_cast<std::uint32_t>(std::min(n, want));
    if (status < 0) return status;
  }
  return VI_SUCCESS;
}

ViStatus receive_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                       std::span<std::uint32_t> words) {
  if (words.size() > max_result_words) return VI_ERROR_IO;
  for (;;) {
    ViStatus status = reader.skip_rest(source);
    if (status < 0) return status;

    std::array<std::byte, max_reply_head> head_bytes;
    std::size_t have = 0;
    reply_head head = decode_reply_head({});
    while (head.need > have) {
      std::size_t n = 0;
      status = reader.read(source, std::span(head_bytes).subspan(have, head.need - have), n);
      have += n;
      if (status < 0) return status;
      head = decode_reply_head(std::span(head_bytes).first(have));
    }
    if (head.fault == rpc_fault::malformed) return to_status(head.fault);
    if (head.xid != xid) continue;  // an answer to a call the client gave up on
    if (head.fault != rpc_fault::none) {
      status = reader.skip_rest(source);
      return status < 0 ? status : to_status(head.fault);
    }

    std::array<std::byte, 4 * max_result_words> result_bytes;
    std::size_t n = 0;
    status = reader.read(source, std::span(result_bytes).first(4 * words.size()), n);
    if (status < 0) return status;
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = get_u32(result_bytes, 4 * i);
    return VI_SUCCESS;
  }
}

ViStatus receive_read_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                            std::span<std::byte> space, held_bytes& excess, read_reply& out) {
  out = {};
  excess.clear();
  std::array<std::uint32_t, 3> words{};  // error, reason, data length
  ViStatus status = receive_reply(reader, source, xid, words);
  if (status < 0) return status;
  out.error = static_cast<device_error>(words[0]);
  out.reason = words[1];
  const std::size_t length = words[2];
  if (length > space.size() && length - space.size() > max_excess) return VI_ERROR_IO;

  const std::size_t direct = std::min(length, space.size());
  status = reader.read(source, space.first(direct), out.count);
  if (status < 0) return status;
  // Bytes beyond what was asked for: kept, the store growing only by what actually arrived.
  const std::size_t extra = length - direct;
  std::array<std::byte, 16 * 1024> chunk;
  while (excess.size() < extra) {
    std::size_t n = 0;
    status = reader.read(source, std::span(chunk).first(std::min(chunk.size(), extra - excess.size())), n);
    excess.append(std::span(chunk).first(n));
    if (status < 0) return status;
  }
  return reader.skip_rest(source);  // the padding
}

}  // namespace kobrant::visa::vxi11
