// HiSLIP (TCPIP INSTR, hislipN) for the simulated instrument. Each connection starts with
// Initialize (it becomes a session's synchronous channel) or AsyncInitialize (the session's
// asynchronous channel). Data and DataEND carry the instrument's messages; a program message
// ends at a newline or with END, as over GPIB, and its answer goes back in Data messages no
// larger than both sides accept, the last one a DataEND. The server runs in synchronized
// mode and answers each message in full before reading the next.
#include "server_hislip.h"


#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "hostile.h"
#include "answer.h"
#include "instrument.h"
#include "tcp.h"

namespace kobrant::sim {
namespace {

constexpr std::string_view transport_name = "HISLIP";
constexpr std::size_t header_size = 16;
constexpr std::uint16_t server_version = 0x0100;
constexpr std::uint32_t server_vendor_id = ('K' << 8) | 'S';

// Bytes of one program message kept for the instrument to read; anything past this is still
// recorded but not interpreted, so a client cannot make the server hold unbounded input.
constexpr std::size_t max_program_message = std::size_t{16} << 20;

// Message types under the protocol's names.
enum message_type : std::uint8_t {
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

// Control bit 0 of Data, DataEND, Trigger and AsyncStatusQuery: the client has delivered a
// whole answer to its application since its previous such message.
constexpr std::uint8_t rmt_delivered = 0x01;
// The client numbers its messages from here after Initialize and each device clear, adding 2.
constexpr std::uint32_t first_message_id = 0xFFFFFF00;
constexpr std::uint32_t message_id_step = 2;
// How long a status query waits for the synchronous channel to take the message it names.
constexpr auto status_query_wait = std::chrono::seconds(1);

// FatalError and Error codes the server sends.
constexpr std::uint8_t fatal_poorly_formed_header = 1;
constexpr std::uint8_t fatal_without_both_channels = 2;
constexpr std::uint8_t fatal_invalid_initialization = 3;
constexpr std::uint8_t error_unrecognized_message_type = 1;
constexpr std::uint8_t error_message_too_large = 4;

std::string type_name(std::uint8_t type) {
  static constexpr std::array<std::string_view, 26> names = {
      "Initialize", "InitializeResponse", "FatalError", "Error", "AsyncLock", "AsyncLockResponse",
      "Data", "DataEND", "DeviceClearComplete", "DeviceClearAcknowledge",
      "AsyncRemoteLocalControl", "AsyncRemoteLocalResponse", "Trigger", "Interrupted",
      "AsyncInterrupted", "AsyncMaximumMessageSize", "AsyncMaximumMessageSizeResponse",
      "AsyncInitialize", "AsyncInitializeResponse", "AsyncDeviceClear", "AsyncServiceRequest",
      "AsyncStatusQuery", "AsyncStatusResponse", "AsyncDeviceClearAcknowledge", "AsyncLockInfo",
      "AsyncLockInfoResponse"};
  if (type < names.size()) return std::string(names[type]);
  return (type >= 128 ? "Vendor" : "Reserved") + std::to_string(type);
}

void put_be(std::byte* out, std::size_t size, std::uint64_t value) {
  for (std::size_t i = size; i-- > 0; value >>= 8) out[i] = static_cast<std::byte>(value & 0xFF);
}

std::uint64_t get_be(const std::byte* in, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = value << 8 | static_cast<std::uint64_t>(in[i]);
  return value;
}

struct frame {
  std::array<std::byte, header_size> raw{};
  std::uint8_t type = 0;
  std::uint8_t control = 0;
  std::uint32_t parameter = 0;
  std::vector<std::byte> payload;
};

enum class received { message, closed, malformed, too_large };

// Reads one message. A payload larger than max_message allows is read and thrown away, never
// held: the length is the client's word, not something to allocate from.
received receive_frame(io_handle fd, std::uint64_t max_message, frame& out) {
  if (!receive_exact(fd, out.raw)) return received::closed;
  if (out.raw[0] != std::byte{'H'} || out.raw[1] != std::byte{'S'}) return received::malformed;
  out.type = static_cast<std::uint8_t>(out.raw[2]);
  out.control = static_cast<std::uint8_t>(out.raw[3]);
  out.parameter = static_cast<std::uint32_t>(get_be(&out.raw[4], 4));
  std::uint64_t length = get_be(&out.raw[8], 8);
  out.payload.clear();
  if (length > max_message - header_size) {
    std::array<std::byte, 64 * 1024> sink;
    while (length > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(length, sink.size()));
      if (!receive_exact(fd, std::span(sink).first(n))) return received::closed;
      length -= n;
    }
    return received::too_large;
  }
  out.payload.resize(static_cast<std::size_t>(length));
  if (!receive_exact(fd, out.payload)) return received::closed;
  return received::message;
}

std::array<std::byte, header_size> make_header(std::uint8_t type, std::uint8_t control,
                                               std::uint32_t parameter, std::uint64_t length) {
  std::array<std::byte, header_size> h{};
  h[0] = std::byte{'H'};
  h[1] = std::byte{'S'};
  h[2] = std::byte{type};
  h[3] = std::byte{control};
  put_be(&h[4], 4, parameter);
  put_be(&h[8], 8, length);
  return h;
}

bool send_frame(io_handle fd, std::uint8_t type, std::uint8_t control, std::uint32_t parameter,
                std::span<const std::byte> payload = {}) {
  const auto h = make_header(type, control, parameter, payload.size());
  return send_all(fd, h, !payload.empty()) && send_all(fd, payload);
}

// The part of a session both of its connections see.
struct session_state {
  std::uint16_t id = 0;
  std::mutex mutex;
  bool async_paired = false;  // guarded by mutex
  io_handle async_fd = invalid_handle;  // guarded by mutex; invalid once the async handler has returned
  std::atomic<bool> clear_pending{false};
  std::atomic<std::uint64_t> client_max_message{0};  // 0: the client has not said yet

  // The status byte, kept by the synchronous channel and reported on the asynchronous one.
  std::mutex status_mutex;
  std::condition_variable status_changed;
  std::uint8_t status_bits = 0;                   // guarded by status_mutex: the instrument's own
  bool answer_owed = false;                       // guarded: MAV, an answer not yet delivered
  std::optional<std::uint32_t> last_message_id;   // guarded: the latest Data, DataEND or Trigger taken
};

// After the message message_id was taken: the instrument's bits, and whether it produced an
// answer. Wakes a status query that waits for this message.
void publish_status(session_state& s, std::uint32_t message_id, std::uint8_t bits, bool answered) {
  std::lock_guard lock(s.status_mutex);
  s.status_bits = bits;
  if (answered) s.answer_owed = true;
  s.last_message_id = message_id;
  s.status_changed.notify_all();
}

// A message with RMT-delivered set: the client's application has the last answer.
void note_delivery(session_state& s, std::uint8_t control) {
  if (!(control & rmt_delivered)) return;
  std::lock_guard lock(s.status_mutex);
  s.answer_owed = false;
}

// The status byte as of the client's message message_id: waits (briefly) until the synchronous
// channel has taken that message, so a query sent right after a command sees its effect.
std::uint8_t status_byte_after(session_state& s, std::uint32_t message_id) {
  std::unique_lock lock(s.status_mutex);
  s.status_changed.wait_for(lock, status_query_wait, [&] {
    // Before any message, the client names the one before the first.
    if (!s.last_message_id) return message_id == first_message_id - message_id_step;
    return static_cast<std::int32_t>(*s.last_message_id - message_id) >= 0;
  });
  return static_cast<std::uint8_t>(s.status_bits | (s.answer_owed ? status_mav : 0));
}

void reset_status(session_state& s) {
  std::lock_guard lock(s.status_mutex);
  s.status_bits = 0;
  s.answer_owed = false;
  s.last_message_id.reset();
}

class hislip_server final : public server {
 public:
  hislip_server(unique_fd listening, const record& rec, std::uint64_t max_message_size, hostile mode)
      : rec_(rec),
        max_message_(max_message_size),
        hostile_(mode),
        host_(resource_host(listening.get())),
        port_(local_port(listening.get())),
        tcp_(std::move(listening), [this](io_handle fd) { serve_connection(fd); }) {}

  std::string resource_name() const override {
    return "TCPIP0::" + host_ + "::hislip0," + std::to_string(port_) + "::INSTR";
  }
  void stop() override { tcp_.stop(); }

 private:
  void record_control(const frame& f) const {
    std::vector<std::byte> whole(f.raw.begin(), f.raw.end());
    whole.insert(whole.end(), f.payload.begin(), f.payload.end());
    rec_.append(std::string(transport_name) + ":" + type_name(f.type), false, whole);
  }

  void serve_connection(io_handle fd) {
    frame first;
    received got{};
    if (!next_frame(fd, first, got)) return;
    if (got == received::message) record_control(first);
    if (got == received::message && first.type == initialize && hostile_ == hostile::mute_handshake) {
      return read_until_closed(fd);
    }
    if (got == received::message && first.type == initialize) return serve_sync(fd, first);
    if (got == received::message && first.type == async_initialize) return serve_async(fd, first);
    send_frame(fd, fatal_error, fatal_invalid_initialization, 0);
  }

  // The synchronous channel: the instrument's messages and their answers, and the end of a
  // device clear.
  void serve_sync(io_handle fd, const frame& init) {
    const auto session = std::make_shared<session_state>();
    {
      std::lock_guard lock(sessions_mutex_);
      // Ids wrap and skip ones still in use, so a long-running simulator never pairs a new
      // asynchronous channel with an old session.
      do session->id = next_session_id_++;
      while (sessions_.contains(session->id));
      sessions_[session->id] = session;
    }
    const std::uint16_t version = std::min<std::uint16_t>(server_version, static_cast<std::uint16_t>(init.parameter >> 16));
    if (send_frame(fd, initialize_response, 0, std::uint32_t{version} << 16 | session->id)) {
      serve_sync_messages(fd, *session);
    }
    std::lock_guard registry_lock(sessions_mutex_);
    sessions_.erase(session->id);
    // A session ends with both of its connections.
    std::lock_guard lock(session->mutex);
    if (session->async_fd != invalid_handle) shut_down(session->async_fd);
  }

  // Reads the next message into f; false when the connection is to end: closed, or a header
  // that is none, which gets a FatalError first.
  bool next_frame(io_handle fd, frame& f, received& got) {
    got = receive_frame(fd, max_message_, f);
    if (got == received::malformed) send_frame(fd, fatal_error, fatal_poorly_formed_header, 0);
    return got != received::closed && got != received::malformed;
  }

  void serve_sync_messages(io_handle fd, session_state& session) {
    instrument_session instrument;
    std::vector<std::byte> program;  // the program message received so far
    frame f;
    for (;;) {
      received got{};
      if (!next_frame(fd, f, got)) return;
      if (got == received::too_large) {
        record_control(f);
        if (!send_frame(fd, error, error_message_too_large, 0)) return;
        continue;
      }
      switch (f.type) {
        case data:
        case data_end: {
          const bool end = f.type == data_end;
          rec_.append(transport_name, end, f.payload);
          {
            std::lock_guard lock(session.mutex);
            if (!session.async_paired) {
              send_frame(fd, fatal_error, fatal_without_both_channels, 0);
              return;
            }
          }
          note_delivery(session, f.control);
          // Between the clear request and its completion, messages are dropped.
          if (!session.clear_pending &&
              !take_program_bytes(fd, session, instrument, program, f.payload, end, f.parameter)) {
            return;
          }
          publish_status(session, f.parameter, instrument.status_bits(), false);
          break;
        }
        case trigger:
          // Triggers have no effect on the instrument; the record shows they arrived.
          record_control(f);
          note_delivery(session, f.control);
          publish_status(session, f.parameter, instrument.status_bits(), false);
          break;
        case device_clear_complete:
          record_control(f);
          program.clear();
          instrument = instrument_session{};
          reset_status(session);
          session.clear_pending = false;
          // Only synchronized mode is offered, whatever the client asked for.
          if (!send_frame(fd, device_clear_acknowledge, 0, 0)) return;
          break;
        case fatal_error:
          record_control(f);
          return;
        case error:
          record_control(f);
          break;
        default:
          record_control(f);
          if (!send_frame(fd, error, error_unrecognized_message_type, 0)) return;
      }
    }
  }

  // Adds bytes to the program message; a newline or END ends it and the instrument answers.
  // False when the connection is to end.
  bool take_program_bytes(io_handle fd, session_state& session, instrument_session& instrument,
                          std::vector<std::byte>& program, std::span<const std::byte> bytes, bool end,
                          std::uint32_t message_id) {
    const auto answer = [&](std::span<const std::byte> message) {
      response reply = instrument.respond(message);
      // Published before the answer goes out: sending may wait for the client to read.
      publish_status(session, message_id, instrument.status_bits(), reply.size() > 0);
      return send_answer(fd, session, std::move(reply), message_id);
    };
    while (!bytes.empty()) {
      const auto newline = std::find(bytes.begin(), bytes.end(), std::byte{'\n'});
      const auto length = static_cast<std::size_t>(newline - bytes.begin()) + (newline != bytes.end());
      const auto keep = std::min(length, max_program_message - std::min(max_program_message, program.size()));
      if (newline == bytes.end()) {
        program.insert(program.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
        break;
      }
      bool keep_going = false;
      if (program.empty() && keep == length) {
        keep_going = answer(bytes.first(length));  // the common case: no copy
      } else {
        program.insert(program.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(keep));
        keep_going = answer(program);
        program.clear();
      }
      if (!keep_going) return false;
      bytes = bytes.subspan(length);
    }
    if (end && !program.empty()) {
      const bool keep_going = answer(program);
      program.clear();
      return keep_going;
    }
    return true;
  }

  // Sends one answer in Data messages, the last a DataEND, each as large as both sides
  // accept. An answer that stalls or drops the connection never gets its END. False when the
  // connection is to end.
  bool send_answer(io_handle fd, session_state& session, response answer, std::uint32_t message_id) {
    const std::uint64_t client_max = session.client_max_message.load();
    const std::uint64_t max_payload =
        std::min(max_message_, client_max > header_size ? client_max : max_message_) - header_size;
    const bool ends = answer.after() == after_answer::carry_on;
    const bool paced = answer.gap().count() > 0;
    // A broken header comes where the answer's second half would start, so the client has
    // the first half to keep.
    const bool broken = hostile_ == hostile::garbage_header || hostile_ == hostile::huge_length;
    const std::uint64_t whole_until_break = broken ? answer.size() / 2 : answer.size();
    std::uint64_t left = answer.size();
    while (left > 0) {
      // A device clear stops an answer at a message boundary, so the client can still follow.
      if (session.clear_pending) return true;
      const std::uint64_t sent = answer.size() - left;
      if (sent == whole_until_break) return send_broken_header(fd, answer, message_id);
      const std::uint64_t length = std::min({left, max_payload, whole_until_break - sent});
      left -= length;
      const bool last = left == 0;
      const auto h = make_header(last && ends ? data_end : data, 0, message_id, length);
      if (!send_all(fd, h, true)) return false;
      if (!send_answer_bytes(fd, answer, length, !last)) return false;
      // Between two messages of a paced answer the gap is kept as between its bytes.
      if (paced && !last && !wait_gap(fd, answer.gap())) return false;
    }
    return carry_on_after(fd, answer.after());
  }

  // In place of the next Data header: bytes without the prologue, or a header announcing a
  // payload of 2^63 bytes followed by the rest of the answer. Either way nothing follows, and
  // the connection reads on until the client gives up on it.
  bool send_broken_header(io_handle fd, response& answer, std::uint32_t message_id) {
    if (hostile_ == hostile::garbage_header) {
      static constexpr std::string_view garbage = "no header here!\n";
      static_assert(garbage.size() == header_size);
      if (!send_all(fd, std::as_bytes(std::span(garbage)))) return false;
    } else {
      const auto h = make_header(data_end, 0, message_id, std::uint64_t{1} << 63);
      if (!send_all(fd, h, true)) return false;
      while (!answer.done()) {
        if (!send_all(fd, answer.next(send_piece), !answer.done())) return false;
      }
    }
    read_until_closed(fd);
    return false;
  }

  // The asynchronous channel: pairing, the size exchange, device clear, status and locks.
  void serve_async(io_handle fd, const frame& init) {
    std::shared_ptr<session_state> session;
    {
      std::lock_guard lock(sessions_mutex_);
      if (auto it = sessions_.find(static_cast<std::uint16_t>(init.parameter & 0xFFFF)); it != sessions_.end())
        session = it->second;
    }
    bool paired = false;
    if (session) {
      std::lock_guard lock(session->mutex);
      paired = !session->async_paired;
      if (paired) {
        session->async_paired = true;
        session->async_fd = fd;
      }
    }
    if (!paired) {
      send_frame(fd, fatal_error, fatal_invalid_initialization, 0);
      return;
    }
    if (send_frame(fd, async_initialize_response, 0, server_vendor_id)) serve_async_messages(fd, *session);
    std::lock_guard lock(session->mutex);
    session->async_fd = invalid_handle;
  }

  void serve_async_messages(io_handle fd, session_state& session) {
    frame f;
    for (;;) {
      received got{};
      if (!next_frame(fd, f, got)) return;
      record_control(f);
      if (got == received::too_large) {
        if (!send_frame(fd, error, error_message_too_large, 0)) return;
        continue;
      }
      bool sent = true;
      switch (f.type) {
        case async_maximum_message_size: {
          if (f.payload.size() == 8) session.client_max_message = get_be(f.payload.data(), 8);
          std::array<std::byte, 8> ours{};
          put_be(ours.data(), ours.size(), max_message_);
          sent = send_frame(fd, async_maximum_message_size_response, 0, 0, ours);
          break;
        }
        case async_device_clear:
          session.clear_pending = true;
          reset_status(session);
          sent = send_frame(fd, async_device_clear_acknowledge, 0, 0);
          break;
        case async_status_query:
          note_delivery(session, f.control);
          sent = send_frame(fd, async_status_response, status_byte_after(session, f.parameter), 0);
          break;
        case async_lock:
          sent = send_frame(fd, async_lock_response, 1, 0);
          break;
        case async_lock_info:
          sent = send_frame(fd, async_lock_info_response, 0, 0);
          break;
        case async_remote_local_control:
          sent = send_frame(fd, async_remote_local_response, 0, 0);
          break;
        case fatal_error:
          return;
        case error:
          break;
        default:
          sent = send_frame(fd, error, error_unrecognized_message_type, 0);
      }
      if (!sent) return;
    }
  }

  const record& rec_;
  const std::uint64_t max_message_;
  const hostile hostile_;
  std::string host_;
  std::uint16_t port_;

  std::mutex sessions_mutex_;
  std::map<std::uint16_t, std::shared_ptr<session_state>> sessions_;
  std::uint16_t next_session_id_ = 1;

  tcp_server tcp_;  // last: its threads use everything above
};

}  // namespace

std::unique_ptr<server> make_hislip_server(const std::string& address, std::uint16_t port,
                                           const record& rec, std::uint64_t max_message_size,
                                           hostile mode) {
  return std::make_unique<hislip_server>(listen_tcp(address, port), rec, max_message_size, mode);
}

}  // namespace kobrant::sim
