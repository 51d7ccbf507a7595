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

void record_reader::start_reply(std::uint32_t xid, std::size_t result_words, held_bytes* excess,
                                std::size_t space_size) {
  xid_ = xid;
  word_count_ = result_words;
  data_ = excess != nullptr;
  excess_ = excess;
  space_size_ = space_size;
  count_ = direct_ = extra_ = 0;
  if (excess_) excess_->clear();
  outcome_.reset();
  if (result_words > max_result_words) {
    finish(VI_ERROR_IO);
    return;
  }
  phase_ = phase::skip;
  after_skip_.reset();
  advance();
}

void record_reader::expect_reply(std::uint32_t xid, std::size_t result_words) {
  start_reply(xid, result_words, nullptr, 0);
}

void record_reader::expect_read_reply(std::uint32_t xid, std::size_t space_size, held_bytes& excess) {
  start_reply(xid, 3, &excess, space_size);  // error, reason, data length
}

void record_reader::expect_skip() {
  outcome_.reset();
  phase_ = phase::skip;
  after_skip_ = VI_SUCCESS;
  advance();
}

read_reply record_reader::read_result() const {
  read_reply out;
  out.count = count_;
  if (outcome_ == VI_SUCCESS && word_count_ >= 2) {
    out.error = static_cast<device_error>(words_[0]);
    out.reason = words_[1];
  }
  return out;
}

std::span<std::byte> record_reader::next_space(std::span<std::byte> caller_space) {
  if (phase_ == phase::idle) return {};
  if (wants_mark()) return std::span(mark_).subspan(mark_have_);
  std::span<std::byte> space;
  switch (phase_) {
    case phase::idle: return {};
    case phase::skip: space = scratch_; break;
    case phase::head: space = std::span(head_bytes_).subspan(have_, head_.need - have_); break;
    case phase::results: space = std::span(result_bytes_).subspan(have_, 4 * word_count_ - have_); break;
    case phase::data:
      if (caller_space.size() < direct_) return {};
      space = caller_space.subspan(count_, direct_ - count_);
      break;
    case phase::extra: space = std::span(scratch_).first(std::min(scratch_.size(), extra_ - excess_->size())); break;
  }
  return space.first(std::min<std::size_t>(space.size(), fragment_left_));
}

std::optional<ViStatus> record_reader::took(std::size_t n) {
  if (phase_ == phase::idle || n == 0) return outcome_;
  if (wants_mark()) {
    mark_have_ += n;
    if (mark_have_ < mark_.size()) return outcome_;
    const fragment_header header = decode_fragment_header(mark_);
    mark_have_ = 0;
    fragment_left_ = header.length;
    last_ = header.last;
    in_record_ = true;
    return advance();
  }
  fragment_left_ -= static_cast<std::uint32_t>(n);
  switch (phase_) {
    case phase::idle:
    case phase::skip: break;
    case phase::head:
      have_ += n;
      head_ = decode_reply_head(std::span(head_bytes_).first(have_));
      break;
    case phase::results: have_ += n; break;
    case phase::data: count_ += n; break;
    case phase::extra: excess_->append(std::span(scratch_).first(n)); break;
  }
  return advance();
}

std::optional<ViStatus> record_reader::finish(ViStatus status) {
  phase_ = phase::idle;
  outcome_ = status;
  return outcome_;
}

// Moves on through every phase the bytes so far complete; a record that ends before a phase
// has its bytes is VI_ERROR_IO.
std::optional<ViStatus> record_reader::advance() {
  for (;;) {
    switch (phase_) {
      case phase::idle: return outcome_;
      case phase::skip:
        if (record_over()) in_record_ = false;
        if (in_record()) return std::nullopt;
        if (after_skip_) return finish(*after_skip_);
        phase_ = phase::head;
        have_ = 0;
        head_ = decode_reply_head({});
        continue;
      case phase::head:
        if (have_ >= head_.need) {
          if (head_.fault == rpc_fault::malformed) return finish(to_status(head_.fault));
          phase_ = phase::skip;
          if (head_.xid != xid_) continue;  // an answer to a call the client gave up on
          if (head_.fault != rpc_fault::none) {
            after_skip_ = to_status(head_.fault);
            continue;
          }
          phase_ = phase::results;
          have_ = 0;
          continue;
        }
        break;
      case phase::results:
        if (have_ == 4 * word_count_) {
          for (std::size_t i = 0; i < word_count_; ++i) words_[i] = get_u32(result_bytes_, 4 * i);
          if (!data_) return finish(VI_SUCCESS);
          const std::size_t length = words_[2];
          if (length > space_size_ && length - space_size_ > max_excess) return finish(VI_ERROR_IO);
          direct_ = std::min(length, space_size_);
          extra_ = length - direct_;  // kept, the store growing only by what actually arrives
          phase_ = phase::data;
          continue;
        }
        break;
      case phase::data:
        if (count_ == direct_) {
          phase_ = phase::extra;
          continue;
        }
        break;
      case phase::extra:
        if (excess_->size() >= extra_) {
          phase_ = phase::skip;  // the padding
          after_skip_ = VI_SUCCESS;
          continue;
        }
        break;
    }
    if (record_over()) {
      in_record_ = false;  // the record is over; what the reply needs is not there
      return finish(VI_ERROR_IO);
    }
    return std::nullopt;
  }
}

ViStatus record_reader::run(byte_source& source, std::span<std::byte> caller_space) {
  std::optional<ViStatus> done = outcome_;
  while (!done) {
    const std::span<std::byte> space = next_space(caller_space);
    if (space.empty()) return finish(VI_ERROR_IO).value();  // a caller space smaller than announced
    std::size_t n = 0;
    const ViStatus status = source.receive_some(space, n);
    done = took(std::min(n, space.size()));
    if (status < 0) return status;
  }
  return *done;
}

ViStatus record_reader::skip_rest(byte_source& source) {
  expect_skip();
  return run(source);
}

ViStatus receive_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                       std::span<std::uint32_t> words) {
  reader.expect_reply(xid, words.size());
  const ViStatus status = reader.run(source);
  if (status >= 0) std::ranges::copy(reader.words(), words.begin());
  return status;
}

ViStatus receive_read_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                            std::span<std::byte> space, held_bytes& excess, read_reply& out) {
  reader.expect_read_reply(xid, space.size(), excess);
  const ViStatus status = reader.run(source, space);
  out = reader.read_result();
  return status;
}

}  // namespace kobrant::visa::vxi11
