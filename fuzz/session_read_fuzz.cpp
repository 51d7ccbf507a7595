// Arbitrary instrument bytes through the core's read loop (session.cpp), the part every
// transport shares: leftovers kept for the next read, the count, the termination character,
// END, and the end finder on links without END. A scripted transport hands the bytes over in
// pieces whose sizes and END marks come from the input; the reads must match a byte-at-a-time
// model of the same rules, so no byte is lost, repeated or moved between responses, whatever
// the cuts.
#include "message_end.h"
#include "resource_name.h"
#include "session.h"
#include "transport.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

using namespace kobrant::visa;

namespace {

// The bytes the instrument sends, cut into the pieces the transport returns; END may come with
// the last byte of a piece.
struct piece {
  std::span<const std::byte> bytes;
  bool end = false;
};
std::vector<piece> script;  // for the transport the session creates

class scripted_transport final : public transport {
 public:
  ViStatus open(const resource_name&, const deadline&) override { return VI_SUCCESS; }
  ViStatus write(std::span<const std::byte> data, std::span<const std::byte>, bool, const deadline&,
                 std::size_t& written) override {
    written = data.size();
    return VI_SUCCESS;
  }
  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline&, std::size_t& count,
                bool& end) override {
    count = 0;
    end = false;
    if (next_ == script.size()) return VI_ERROR_CONN_LOST;
    const piece& p = script[next_];
    count = std::min(space.size(), p.bytes.size() - at_);
    std::memcpy(space.data(), p.bytes.data() + at_, count);
    at_ += count;
    if (at_ == p.bytes.size()) {
      end = p.end;
      ++next_;
      at_ = 0;
    }
    return VI_SUCCESS;
  }
  ViStatus clear(const deadline&) override { return VI_SUCCESS; }
  void close() noexcept override {}

 private:
  std::size_t next_ = 0;
  std::size_t at_ = 0;
};

std::unique_ptr<transport> make_scripted() { return std::make_unique<scripted_transport>(); }

const transport_entry with_end{VI_INTF_TCPIP, "SOCKET", address_index<socket_address>, "SOCKET", true,
                                &make_scripted, nullptr};
const transport_entry without_end{VI_INTF_TCPIP, "SOCKET", address_index<socket_address>, "SOCKET", false,
                                   &make_scripted, nullptr};

struct read_result {
  ViStatus status;
  std::vector<std::byte> bytes;
  bool operator==(const read_result&) const = default;
};

struct settings {
  bool carries_end;
  bool termchar_enabled;
  bool suppress_end;
  std::byte termchar;
  std::size_t buffer_size;
};

// The rules of session::read, one byte at a time.
std::vector<read_result> model(const settings& s) {
  std::vector<std::pair<std::byte, bool>> bytes;  // each byte, and whether END came with it
  for (const piece& p : script) {
    for (std::size_t i = 0; i < p.bytes.size(); ++i) bytes.emplace_back(p.bytes[i], p.end && i + 1 == p.bytes.size());
  }
  const bool find_end = !s.carries_end && !s.termchar_enabled;
  message_end finder;
  std::vector<read_result> reads;
  std::size_t at = 0;
  for (;;) {
    read_result r{VI_ERROR_CONN_LOST, {}};
    while (at < bytes.size()) {
      const auto [b, end] = bytes[at++];
      r.bytes.push_back(b);
      const bool honoured_end = end && !s.suppress_end;
      if (s.termchar_enabled && b == s.termchar) {
        r.status = honoured_end ? VI_SUCCESS : VI_SUCCESS_TERM_CHAR;
        break;
      }
      if (find_end && finder.feed(std::span(&b, 1))) {
        r.status = VI_SUCCESS;
        break;
      }
      if (honoured_end) {
        r.status = VI_SUCCESS;
        break;
      }
      if (r.bytes.size() == s.buffer_size) {
        r.status = VI_SUCCESS_MAX_CNT;
        break;
      }
    }
    reads.push_back(std::move(r));
    if (reads.back().status < 0) return reads;
  }
}

std::vector<read_result> through_session(const settings& s) {
  resource_name name;
  if (parse_resource_name("TCPIP0::127.0.0.1::5025::SOCKET", name) != VI_SUCCESS) std::abort();
  session sess(name, s.carries_end ? with_end : without_end);
  if (sess.open(deadline::after_ms(0)) != VI_SUCCESS) std::abort();
  if (sess.set_attribute(VI_ATTR_TERMCHAR, static_cast<ViAttrState>(s.termchar)) != VI_SUCCESS ||
      sess.set_attribute(VI_ATTR_TERMCHAR_EN, s.termchar_enabled) != VI_SUCCESS ||
      sess.set_attribute(VI_ATTR_SUPPRESS_END_EN, s.suppress_end) != VI_SUCCESS) {
    std::abort();
  }
  std::vector<read_result> reads;
  std::vector<std::byte> buffer(s.buffer_size);
  for (;;) {
    std::size_t count = 0;
    const ViStatus status = sess.read(buffer, count);
    if (count > buffer.size()) std::abort();
    reads.push_back({status, std::vector<std::byte>(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(count))});
    if (status < 0) return reads;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const settings s{(data[0] & 1) != 0, (data[0] & 2) != 0, (data[0] & 4) != 0,
                   std::byte{data[1]}, static_cast<std::size_t>(data[2] % 48 + 1)};
  const std::size_t piece_size = data[3] % 29 + 1;
  const auto stream = std::as_bytes(std::span(data + 4, size - 4));

  // Pieces of piece_size bytes; END, on a link that has it, with a piece whose last byte is
  // '!' (so the input decides where END falls).
  script.clear();
  for (std::size_t at = 0; at < stream.size(); at += piece_size) {
    const auto bytes = stream.subspan(at, std::min(piece_size, stream.size() - at));
    script.push_back({bytes, s.carries_end && bytes.back() == std::byte{'!'}});
  }
  if (through_session(s) != model(s)) std::abort();
  return 0;
}
