// VXI-11 over ONC RPC on TCP without I/O, shared by the transport, its tests and its fuzz
// target: the wire constants under the protocol's own names, XDR encoding of the calls a client
// makes, record marking, and reading replies from any byte source with every peer length
// checked and nothing allocated from one.
#pragma once

#include "held_bytes.h"
#include <kobrant/visa.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kobrant::visa::vxi11 {

// ONC RPC messages.
inline constexpr std::uint32_t rpc_version = 2;
enum class msg_type : std::uint32_t { call = 0, reply = 1 };
enum class reply_stat : std::uint32_t { msg_accepted = 0, msg_denied = 1 };
enum class accept_stat : std::uint32_t {
  success = 0,
  prog_unavail = 1,
  prog_mismatch = 2,
  proc_unavail = 3,
  garbage_args = 4,
  system_err = 5,
};
enum class reject_stat : std::uint32_t { rpc_mismatch = 0, auth_error = 1 };
inline constexpr std::uint32_t auth_none = 0;
inline constexpr std::uint32_t max_auth_bytes = 400;

// Record marking: each fragment opens with a big-endian word, the top bit set on the record's
// last fragment and the low 31 bits giving the fragment's length.
inline constexpr std::uint32_t last_fragment = 0x8000'0000;
inline constexpr std::uint32_t max_fragment_length = 0x7FFF'FFFF;

// The port mapper, which names the core channel's port.
inline constexpr std::uint16_t pmap_port = 111;
inline constexpr std::uint32_t pmap_prog = 100000;
inline constexpr std::uint32_t pmap_vers = 2;
inline constexpr std::uint32_t pmapproc_getport = 3;
inline constexpr std::uint32_t ipproto_tcp = 6;

// The core channel.
inline constexpr std::uint32_t device_core = 0x0607AF;
inline constexpr std::uint32_t device_core_version = 1;
enum class core_proc : std::uint32_t {
  create_link = 10,
  device_write = 11,
  device_read = 12,
  device_readstb = 13,
  device_trigger = 14,
  device_clear = 15,
  destroy_link = 23,
};

// Device_Flags.
inline constexpr std::uint32_t flag_waitlock = 0x01;
inline constexpr std::uint32_t flag_end = 0x08;
inline constexpr std::uint32_t flag_termchrset = 0x80;

// Why a device_read returned; several bits may come together, none means "read again".
inline constexpr std::uint32_t reason_reqcnt = 1;
inline constexpr std::uint32_t reason_chr = 2;
inline constexpr std::uint32_t reason_end = 4;

// Device_ErrorCode.
enum class device_error : std::uint32_t {
  no_error = 0,
  syntax_error = 1,
  device_not_accessible = 3,
  invalid_link_identifier = 4,
  parameter_error = 5,
  channel_not_established = 6,
  operation_not_supported = 8,
  out_of_resources = 9,
  device_locked_by_another_link = 11,
  no_lock_held_by_this_link = 12,
  io_timeout = 15,
  io_error = 17,
  invalid_address = 21,
  abort = 23,
  channel_already_established = 29,
};

// Why an RPC reply carries no results.
enum class rpc_fault {
  none,
  malformed,  // not a well-formed reply: wrong message type, verifier too long, unknown codes
  prog_unavail,
  prog_mismatch,
  proc_unavail,
  garbage_args,
  system_err,
  rpc_mismatch,
  auth_error,
};

// The statuses a VISA caller sees for the protocol's conditions; the only such mapping.
ViStatus to_status(device_error error);
ViStatus to_status(rpc_fault fault);

// XDR pads opaque data and strings to a multiple of four bytes.
constexpr std::size_t xdr_pad(std::size_t n) { return (4 - n % 4) % 4; }

std::uint32_t get_u32(std::span<const std::byte> bytes, std::size_t offset);
void put_u32(std::span<std::byte> bytes, std::size_t offset, std::uint32_t value);

struct call_header {
  std::uint32_t xid = 0;
  std::uint32_t prog = 0;
  std::uint32_t vers = 0;
  std::uint32_t proc = 0;
};

// A call record's head: the fragment mark, the call header with empty credentials, the
// argument words and, for calls that end in opaque data or a string, its length word.
inline constexpr std::size_t max_call_words = 6;
inline constexpr std::size_t max_call_head = 4 + 40 + 4 * (max_call_words + 1);
// The largest opaque argument whose call still fits one fragment.
inline constexpr std::size_t max_call_opaque = max_fragment_length - max_call_head - 3;

// Writes the head of a call made of one fragment. With opaque_size, the head ends in the
// opaque's length word and the fragment's length counts the opaque bytes and their padding,
// which the caller sends right after. Returns the bytes written; 0 when words or opaque_size
// exceed the limits above.
std::size_t encode_call(std::span<std::byte, max_call_head> out, const call_header& header,
                        std::span<const std::uint32_t> words,
                        std::optional<std::size_t> opaque_size = std::nullopt);

struct fragment_header {
  bool last = false;
  std::uint32_t length = 0;
};
fragment_header decode_fragment_header(std::span<const std::byte, 4> mark);

// What the start of a reply record says. Offer ever longer prefixes of the record until need
// is at most the prefix's size: the verifier's length decides how long the head is.
struct reply_head {
  std::size_t need = 12;  // bytes the decision takes; the results follow right after them
  std::uint32_t xid = 0;
  rpc_fault fault = rpc_fault::none;  // none: accepted, and the procedure's results follow
};
inline constexpr std::size_t max_reply_head = 12 + 8 + max_auth_bytes + 4;
reply_head decode_reply_head(std::span<const std::byte> prefix);

// Where reply bytes come from: a socket in the transport, memory in tests and fuzzing.
class byte_source {
 public:
  virtual ~byte_source() = default;
  // Receives at least one byte and at most space.size() into space, or fails.
  virtual ViStatus receive_some(std::span<std::byte> space, std::size_t& count) = 0;
};

inline constexpr std::size_t max_result_words = 8;

// A device_read reply: its error and reason, and the data bytes stored.
struct read_reply {
  device_error error = device_error::no_error;
  std::uint32_t reason = 0;
  std::size_t count = 0;
};

// A peer that sends more than was asked is tolerated up to this much; the rest of its data
// waits in the transport for the next read.
inline constexpr std::size_t max_excess = std::size_t{1} << 20;

// Decodes the replies of one incoming stream as its bytes are pushed in: it offers the space
// for the next received bytes (a fragment mark, the reply head, the result words, the caller's
// space, the excess store, or scratch for bytes to skip) and is told how many arrived. Its
// place in the stream survives a failed wait, so after a timeout the next reply is found by
// skipping the rest of the interrupted record. Nothing is sized from a peer's length word.
class record_reader {
 public:
  // True while a record has been started and not read to its end.
  bool in_record() const { return in_record_ || mark_have_ > 0; }

  // Starts on the reply to call xid, skipping first what is left of an interrupted record and
  // whole replies to other calls (ones the client stopped waiting for). Its first
  // result_words words are decoded; the record stays open for any data that follows.
  void expect_reply(std::uint32_t xid, std::size_t result_words);
  // Starts on the reply to device_read call xid: the data goes straight into the caller's
  // space (space_size bytes), any beyond it into excess (what it held before is dropped), and
  // the record is read to its end. A data length beyond space_size + max_excess is VI_ERROR_IO
  // before any data is taken.
  void expect_read_reply(std::uint32_t xid, std::size_t space_size, held_bytes& excess);
  // Starts discarding what is left of the current record, if one is open.
  void expect_skip();

  // Where the next received bytes go; caller_space is the read's space, the same on every
  // call of one reply. Empty once the reply is decoded.
  std::span<std::byte> next_space(std::span<std::byte> caller_space);
  // Accounts for n bytes just received into next_space(); the outcome once decoded.
  std::optional<ViStatus> took(std::size_t n);
  std::optional<ViStatus> outcome() const { return outcome_; }

  // The result words of the reply decoded last (valid after a successful outcome).
  std::span<const std::uint32_t> words() const { return std::span(words_).first(word_count_); }
  // The device_read reply decoded so far: count is also the data stored before a failure.
  read_reply read_result() const;

  // Receives from source until the reply is decoded or the source fails.
  ViStatus run(byte_source& source, std::span<std::byte> caller_space = {});
  // Discards what is left of the current record, if one is open.
  ViStatus skip_rest(byte_source& source);

 private:
  enum class phase { idle, skip, head, results, data, extra };
  void start_reply(std::uint32_t xid, std::size_t result_words, held_bytes* excess, std::size_t space_size);
  std::optional<ViStatus> advance();
  std::optional<ViStatus> finish(ViStatus status);
  bool wants_mark() const { return fragment_left_ == 0 && !(in_record_ && last_); }
  bool record_over() const { return fragment_left_ == 0 && in_record_ && last_; }

  // Record marking.
  std::array<std::byte, 4> mark_{};
  std::size_t mark_have_ = 0;
  std::uint32_t fragment_left_ = 0;
  bool last_ = false;
  bool in_record_ = false;

  // The reply being decoded.
  phase phase_ = phase::idle;
  std::optional<ViStatus> after_skip_;  // nullopt: a reply head follows the skipped record
  std::optional<ViStatus> outcome_ = VI_SUCCESS;
  std::uint32_t xid_ = 0;
  bool data_ = false;
  held_bytes* excess_ = nullptr;
  std::size_t space_size_ = 0;
  std::array<std::byte, max_reply_head> head_bytes_{};
  reply_head head_{};
  std::size_t have_ = 0;  // bytes of the head or the result words received
  std::array<std::byte, 4 * max_result_words> result_bytes_{};
  std::array<std::uint32_t, max_result_words> words_{};
  std::size_t word_count_ = 0;
  std::size_t count_ = 0;   // data bytes stored in the caller's space
  std::size_t direct_ = 0;  // data bytes due to the caller's space
  std::size_t extra_ = 0;   // data bytes due to the excess store
  std::array<std::byte, 16 * 1024> scratch_{};
};

// Thin drivers over record_reader for byte sources.
ViStatus receive_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                       std::span<std::uint32_t> words);
ViStatus receive_read_reply(record_reader& reader, byte_source& source, std::uint32_t xid,
                            std::span<std::byte> space, held_bytes& excess, read_reply& out);

}  // namespace kobrant::visa::vxi11
