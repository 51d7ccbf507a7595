// Feeds arbitrary bytes to the HiSLIP message reader as a peer's stream, once whole and once
// cut into pieces and caller spaces whose sizes come from the input, and checks that what it
// delivers does not depend on the cuts, never exceeds the space offered, and that a header it
// accepts encodes back to the same bytes.
#include "hislip_wire.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

using namespace kobrant::visa::hislip;

namespace {

struct outcome {
  std::string delivered;
  std::string log;  // one entry per event that is not "none"
  bool operator==(const outcome&) const = default;
};

outcome run(std::span<const std::byte> stream, std::uint64_t max_payload, std::optional<std::uint32_t> id,
            std::size_t piece, std::size_t space) {
  message_reader reader(max_payload, true);
  reader.expect_message_id(id);
  std::vector<std::byte> caller(space);
  outcome out;
  std::size_t at = 0;
  while (at < stream.size()) {
    const auto target = reader.next_space(caller);
    if (target.empty()) {
      if (!reader.broken()) std::abort();  // a healthy reader always has room for more
      break;
    }
    const std::size_t n = std::min({target.size(), piece, stream.size() - at});
    std::memcpy(target.data(), stream.data() + at, n);
    at += n;
    const auto e = reader.took(n);
    switch (e.kind) {
      case message_reader::event_kind::none:
        break;
      case message_reader::event_kind::data:
        if (e.count > n || e.count > caller.size()) std::abort();
        out.delivered.append(reinterpret_cast<const char*>(caller.data()), e.count);
        if (e.end) out.log += "E";
        break;
      case message_reader::event_kind::message:
        if (e.payload.size() > message_reader::kept_payload_max) std::abort();
        out.log += "M" + std::to_string(static_cast<int>(e.head.type)) + ":" +
                   std::string(reinterpret_cast<const char*>(e.payload.data()), e.payload.size());
        break;
      case message_reader::event_kind::bad_prologue:
        out.log += "P";
        break;
      case message_reader::event_kind::too_long:
        if (e.head.payload_length <= max_payload) std::abort();
        out.log += "L";
        break;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const std::size_t piece = data[0] % 23 + 1;
  const std::size_t space = data[1] % 19 + 1;
  const std::uint64_t max_payload = std::uint64_t{1} << (data[2] % 24);
  const std::optional<std::uint32_t> id =
      data[2] & 0x80 ? std::optional<std::uint32_t>(first_message_id + (data[1] & 0x0E)) : std::nullopt;
  const auto stream = std::as_bytes(std::span(data + 3, size - 3));

  if (stream.size() >= header_size) {
    header h;
    const auto first = stream.first<header_size>();
    if (decode_header(first, ~std::uint64_t{0}, h) == decode_status::ok &&
        std::memcmp(encode_header(h).data(), first.data(), header_size) != 0) {
      std::abort();
    }
  }

  const outcome whole = run(stream, max_payload, id, stream.size() + 1, 1 << 16);
  const outcome cut = run(stream, max_payload, id, piece, space);
  if (!(whole == cut)) std::abort();
  return 0;
}
