// Response-end finder. Runs over every byte of a response outside blocks, and skips block data
// in one step, so a gigabyte block costs next to nothing. A declared block length is only a
// count of bytes to pass over: nothing is ever allocated from it.
#include "message_end.h"

#include <algorithm>
#include <cstring>

namespace kobrant::visa {

std::optional<std::size_t> message_end::feed(std::span<const std::byte> bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    switch (state_) {
      case state::text: {
        // Find the next byte that matters in one library call: newline, quote or '#'.
        const unsigned char* p = data + i;
        std::size_t n = size - i;
        std::size_t k = 0;
        for (; k < n; ++k) {
          unsigned char c = p[k];
          if (c == '\n' || c == '"' || c == '#') break;
        }
        i += k;
        if (i == size) return std::nullopt;
        unsigned char c = data[i++];
        if (c == '\n') {
          reset();
          return i;
        }
        state_ = c == '"' ? state::quoted : state::hash;
        break;
      }
      case state::quoted: {
        // A doubled quote inside a string reads as leaving and re-entering it: same result.
        const void* q = std::memchr(data + i, '"', size - i);
        if (!q) return std::nullopt;
        i = static_cast<std::size_t>(static_cast<const unsigned char*>(q) - data) + 1;
        state_ = state::text;
        break;
      }
      case state::hash: {
        unsigned char c = data[i];
        if (c >= '1' && c <= '9') {
          digits_left_ = c - '0';
          block_left_ = 0;
          state_ = state::length_digits;
          ++i;
        } else {
          // "#0" (indefinite block, which only END can end), "#H1F" and other non-block uses
          // of '#': back to plain text, and look at this byte again there.
          state_ = state::text;
        }
        break;
      }
      case state::length_digits: {
        unsigned char c = data[i];
        if (c < '0' || c > '9') {
          // Not a block header after all; treat what follows as text.
          state_ = state::text;
          break;
        }
        block_left_ = block_left_ * 10 + (c - '0');
        ++i;
        if (--digits_left_ == 0) state_ = block_left_ ? state::block_data : state::text;
        break;
      }
      case state::block_data: {
        std::uint64_t skip = std::min<std::uint64_t>(block_left_, size - i);
        i += static_cast<std::size_t>(skip);
        block_left_ -= skip;
        if (block_left_ == 0) state_ = state::text;
        break;
      }
    }
  }
  return std::nullopt;
}

}  // namespace kobrant::visa
