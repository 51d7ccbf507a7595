// Where a response ends on a link without an END indicator (raw socket, serial): at a newline
// that lies neither inside an IEEE 488.2 definite-length block (#<n><length><bytes>) nor inside
// a double-quoted string. So a binary waveform holding 0x0A bytes arrives whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kobrant::visa {

class message_end {
 public:
  // Scans the next bytes of a response. Returns the number of bytes up to and including the
  // terminating newline when the response ends within them (the finder is then ready for the
  // next response), or nothing when it does not end there. The state carries over between
  // calls, so a response may be fed in pieces of any size.
  std::optional<std::size_t> feed(std::span<const std::byte> bytes);

  // Forgets any partial response, e.g. after a timeout or a device clear.
  void reset() { *this = message_end{}; }

 private:
  enum class state : std::uint8_t { text, quoted, hash, length_digits, block_data };
  state state_ = state::text;
  unsigned digits_left_ = 0;       // length digits still to come
  std::uint64_t block_left_ = 0;   // block bytes still to come (at most 999999999)
};

}  // namespace kobrant::visa
