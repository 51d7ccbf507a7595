// HiSLIP framing without I/O, shared by the transport, its tests and its fuzz target: the
// 16-byte message header, the message types and codes under the protocol's own names, and a
// reader that splits one channel's incoming bytes into messages without allocating.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kobrant::visa::hislip {

enum class message_type : std::uint8_t {
  initialize = 0,
  initialize_response = 1,
  fatal_error = 2,
  error = 3,
  async_lock = 4,
  async_lock_response = 5,
  data = 6,
  data_end = 7,
  device_clear_complete = 8,
  device_clear_acknowledge = 9,
  async_remote_local_control = 10,
  async_remote_local_response = 11,
  trigger = 12,
  interrupted = 13,
  async_interrupted = 14,
  async_maximum_message_size = 15,
  async_maximum_message_size_response = 16,
  async_initialize = 17,
  async_initialize_response = 18,
  async_device_clear = 19,
  async_service_request = 20,
  async_status_query = 21,
  async_status_response = 22,
  async_device_clear_acknowledge = 23,
  async_lock_info = 24,
  async_lock_info_response = 25,
};

// Control code of a FatalError message.
enum class fatal_code : std::uint8_t {
  unidentified = 0,
  poorly_formed_message_header = 1,
  attempt_to_use_connection_without_both_channels = 2,
  invalid_initialization_sequence = 3,
  maximum_clients_exceeded = 4,
  secure_connection_failed = 5,
};

// Control code of an Error message.
enum class error_code : std::uint8_t {
  unidentified = 0,
  unrecognized_message_type = 1,
  unrecognized_control_code = 2,
  unrecognized_vendor_defined_message = 3,
  message_too_large = 4,
  authentication_failed = 5,
};

inline constexpr std::size_t header_size = 16;
inline constexpr std::byte prologue[2] = {std::byte{'H'}, std::byte{'S'}};

// The client numbers its Data, DataEND and Trigger messages from here, adding 2 per message
// (wrapping), after Initialize and after every device clear.
inline constexpr std::uint32_t first_message_id = 0xFFFFFF00;
inline constexpr std::uint32_t message_id_step = 2;
// A server message with this MessageID answers no particular client message.
inline constexpr std::uint32_t unknown_message_id = 0xFFFFFFFF;

// Control bit 0 of Data, DataEND and Trigger: the client delivered a whole response to its
// application since it last sent a message. Control bit 0 of the initialize and clear
// exchanges: overlapped (rather than synchronized) mode.
inline constexpr std::uint8_t rmt_delivered = 0x01;
inline constexpr std::uint8_t overlap_mode = 0x01;

inline constexpr std::uint16_t version_1_0 = 0x0100;

struct header {
  message_type type{};
  std::uint8_t control_code = 0;
  std::uint32_t message_parameter = 0;
  std::uint64_t payload_length = 0;
  bool operator==(const header&) const = default;
};

using header_bytes = std::array<std::byte, header_size>;

header_bytes encode_header(const header& h);

enum class decode_status { ok, bad_prologue, too_long };

// Decodes a received header. A payload length above max_payload is too_long: peer lengths
// are checked before anything is sized from them.
decode_status decode_header(std::span<const std::byte, header_size> bytes, std::uint64_t max_payload,
                            header& out);

// Initialize's message parameter: protocol version in the upper half, a two-letter vendor id
// in the lower.
std::uint32_t initialize_parameter(std::uint16_t version, std::string_view vendor_id);

// The 8-byte payload of the maximum message size exchange (a big-endian u64).
std::array<std::byte, 8> encode_u64(std::uint64_t value);
// Exactly 8 bytes, or nothing.
std::optional<std::uint64_t> decode_u64(std::span<const std::byte> payload);

// Splits one channel's incoming stream into messages. It never holds payload it does not
// need: the header is collected in place, Data and DataEND payloads go straight into the
// caller's space, and of other messages only the first kept_payload_max bytes are kept. The
// state survives between calls, so a wait that times out mid-header or mid-payload loses
// nothing, and the next call goes on where it stopped.
class message_reader {
 public:
  static constexpr std::size_t kept_payload_max = 256;

  enum class event_kind {
    none,          // nothing complete yet: receive more into next_space()
    data,          // count bytes of a Data/DataEND payload landed in the caller's space
    message,       // a whole message other than delivered data: head and the payload's start
    bad_prologue,  // the stream is not HiSLIP (or lost its framing); the reader is broken
    too_long,      // a payload length above the limit; the reader is broken
  };

  struct event {
    event_kind kind = event_kind::none;
    std::size_t count = 0;  // data: bytes placed at the start of the caller's space
    bool end = false;       // data: DataEND's END came with the last of them (0 bytes: empty DataEND)
    header head{};          // data and message: the message's header
    std::span<const std::byte> payload;  // message: up to kept_payload_max bytes, valid until the next call
  };

  // data_channel: Data and DataEND payloads are delivered (the synchronous channel); otherwise
  // they are messages like any other.
  message_reader(std::uint64_t max_payload, bool data_channel);

  void set_max_payload(std::uint64_t max_payload) { max_payload_ = max_payload; }

  // Delivers only Data and DataEND whose MessageID is id (or unknown_message_id); others,
  // including the rest of a message being received now, are dropped. nullopt: any id.
  void expect_message_id(std::optional<std::uint32_t> id);

  // While set, every Data and DataEND payload is dropped (device clear).
  void set_discard_data(bool discard);

  // Where the next received bytes go: the rest of the header, the caller's space up to the end
  // of the current payload, or room inside the reader for a payload kept or dropped. Empty only
  // when the reader is broken or caller_space is empty while a payload is due to it.
  std::span<std::byte> next_space(std::span<std::byte> caller_space);

  // Accounts for n bytes just received into next_space(caller_space).
  event took(std::size_t n);

  bool broken() const { return state_ == state::broken; }
  // Between messages: no header or payload half received.
  bool at_message_boundary() const { return state_ == state::header && header_have_ == 0; }

 private:
  enum class state { header, payload, broken };
  // Where the current message's payload goes.
  enum class route { caller, kept, dropped };

  event finish_header();
  event finish_payload();
  bool delivers(const header& h) const;

  std::uint64_t max_payload_;
  bool data_channel_;
  bool discard_data_ = false;
  std::optional<std::uint32_t> expected_id_;

  state state_ = state::header;
  header_bytes header_buffer_{};
  std::size_t header_have_ = 0;
  header current_{};
  route route_ = route::dropped;
  std::uint64_t owed_ = 0;  // payload bytes of the current message still to come
  std::array<std::byte, kept_payload_max> kept_{};
  std::size_t kept_have_ = 0;
  std::array<std::byte, 4096> dropped_{};  // lands and is forgotten
};

}  // namespace kobrant::visa::hislip
