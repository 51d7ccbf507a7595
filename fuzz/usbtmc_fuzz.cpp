// Feeds arbitrary Bulk-IN pieces and control replies to the USBTMC framing as a device would
// send them: the header check, one device transfer followed across pieces, and the abort and
// clear sequences. Checks that no piece delivers more data than it holds or than the header
// announced, that every read asked for is a whole number of packets within the limit, and that
// every sequence ends within its bounded number of steps.
#include "usbtmc_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace kobrant::visa::usbtmc;

namespace {

constexpr std::size_t packet = 512;
constexpr std::size_t limit = 64 * packet;

// Takes the next piece: a one-byte length (times 3, to reach past a packet), then that many
// bytes, or what is left.
std::span<const std::byte> next_piece(std::span<const std::byte>& in) {
  if (in.empty()) return {};
  const std::size_t want = std::to_integer<std::size_t>(in[0]) * 3;
  in = in.subspan(1);
  const std::size_t n = want < in.size() ? want : in.size();
  auto piece = in.first(n);
  in = in.subspan(n);
  return piece;
}

void follow_transfer(std::span<const std::byte> in, std::uint8_t tag) {
  const auto first = next_piece(in);
  in_header h;
  const in_check check = parse_in_header(first, tag, next_tag(tag), h);
  if (check != in_check::ok) return;
  in_transfer t(h, first.size());
  if (t.first_length() > first.size() - header_size || t.first_length() > h.size) std::abort();
  std::uint64_t delivered = t.first_length();
  while (t.data_left() > 0 && !in.empty()) {
    const std::size_t read = t.next_read(packet, limit);
    if (read == 0 || read % packet != 0 || read > limit) std::abort();
    const auto piece = next_piece(in);
    const std::uint64_t before = t.data_left();
    const std::size_t data = t.take(piece.size());
    if (data > piece.size() || before - t.data_left() != data) std::abort();
    delivered += data;
  }
  if (delivered > h.size) std::abort();
}

void drive(sequence s, std::span<const std::byte>& in) {
  for (int steps = 0; steps < 4 * max_checks + 10; ++steps) {
    switch (s.next()) {
      case step::control:
        s.on_reply(next_piece(in));
        break;
      case step::drain_in: s.on_drained(); break;
      case step::pause: s.on_paused(); break;
      case step::clear_halt: s.on_halt_cleared(); break;
      case step::done:
      case step::failed:
        return;
    }
  }
  std::abort();  // the sequence did not end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::byte> in(reinterpret_cast<const std::byte*>(data), size);
  if (in.empty()) return 0;
  const auto tag = static_cast<std::uint8_t>(in[0]);
  in = in.subspan(1);
  follow_transfer(in, tag == 0 ? 1 : tag);
  for (auto kind : {sequence::kind::abort_bulk_in, sequence::kind::abort_bulk_out, sequence::kind::clear}) {
    auto rest = in;
    drive(sequence(kind, tag, 0, 0x82, 0x01), rest);
  }
  parse_capabilities(in);
  parse_status_byte_reply(in);
  parse_status_byte_notification(in, tag);
  return 0;
}
