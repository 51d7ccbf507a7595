// Response-end finder. Outside blocks and strings it only calls memchr, for the newline, '#',
// '"', ',' and ';', each searched once per stretch: when no '#' or '"' comes before the next
// newline, the response ends there whatever lies between; when one does, the stretch before it
// is walked byte by byte, back to its last ',' or ';' and forward from there, to see whether it
// starts a data element; inside a word that is no block or string, only the next separator or
// newline matters. Block data is skipped in one step, so a gigabyte block costs next to nothing,
// and a declared block length is only a count of bytes to pass over: nothing is ever
// allocated from it.
#include "message_end.h"

#include <algorithm>
#include <cstring>

namespace kobrant::visa {
namespace {

using state = message_end::state;

bool header_start(unsigned char c) { return (c >= 'A' && c <= 'Z') || c == ':' || c == '*'; }

bool header_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
}

// The next position of one byte value in a chunk, searched with memchr only once the scan has
// passed the last one found. Searches are bounded by the next newline (the chunk's end for the
// newline itself), and that bound only moves once the scan has passed it, so each search looks
// at every byte of a chunk at most once.
class next_byte {
 public:
  explicit next_byte(unsigned char c) : c_(c) {}

  // Position of the first c in data[from, limit), or limit when there is none.
  std::size_t from(const unsigned char* data, std::size_t from, std::size_t limit) {
    if (!known_ || at_ < from) {
      const void* hit = std::memchr(data + from, c_, limit - from);
      at_ = hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) : limit;
      known_ = true;
    }
    return at_;
  }

 private:
  unsigned char c_;
  bool known_ = false;
  std::size_t at_ = 0;
};

// The state after bytes holding no newline, separator, '#' or '"', from a state outside
// blocks and strings: only a header can go on for more than one byte.
state run(state s, const unsigned char* bytes, std::size_t n) {
  for (std::size_t k = 0; k < n && s != state::text; ++k) {
    const unsigned char c = bytes[k];
    if (s == state::unit_start && header_start(c)) {
      s = state::header;
    } else if (s == state::header && header_char(c)) {
      // still the header
    } else if (s == state::header && c == ' ') {
      s = state::element_start;
    } else {
      s = state::text;
    }
  }
  return s;
}

}  // namespace

std::optional<std::size_t> message_end::feed(std::span<const std::byte> bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  next_byte newline('\n'), hash('#'), quote('"'), comma(','), semicolon(';');
  while (i < size) {
    switch (state_) {
      case state::text: {
        // Inside a word only a separator or the newline matters; a '#' or '"' here is text.
        const std::size_t line_end = newline.from(data, i, size);
        const std::size_t separator =
            std::min(comma.from(data, i, line_end), semicolon.from(data, i, line_end));
        if (separator < line_end) {
          state_ = data[separator] == ';' ? state::unit_start : state::element_start;
          i = separator + 1;
          break;
        }
        if (line_end == size) return std::nullopt;
        reset();
        return line_end + 1;
      }
      case state::unit_start:
      case state::header:
      case state::element_start: {
        // With no '#' or '"' before the next newline, the response ends there.
        const std::size_t line_end = newline.from(data, i, size);
        const std::size_t special = std::min(hash.from(data, i, line_end), quote.from(data, i, line_end));
        if (special == line_end && line_end < size) {
          reset();
          return line_end + 1;
        }
        // Otherwise find the state where the '#' or '"' (or the chunk's end) stands: it follows
        // from the last separator before it, or from the current state when there is none. The
        // walk back stops at a separator found at or after i, so no byte is walked twice.
        const std::size_t separator =
            std::min(comma.from(data, i, line_end), semicolon.from(data, i, line_end));
        state s = state_;
        std::size_t from = i;
        if (separator < special) {
          from = special;
          while (data[from - 1] != ',' && data[from - 1] != ';') --from;
          s = data[from - 1] == ';' ? state::unit_start : state::element_start;
        }
        s = run(s, data + from, special - from);
        if (special == size) {
          state_ = s;
          return std::nullopt;
        }
        const bool starts_element = s == state::unit_start || s == state::element_start;
        state_ = !starts_element ? state::text : data[special] == '#' ? state::hash : state::quoted;
        i = special + 1;
        break;
      }
      case state::quoted: {
        const void* hit = std::memchr(data + i, '"', size - i);
        if (!hit) return std::nullopt;
        i = static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - data) + 1;
        state_ = state::quote_end;
        break;
      }
      case state::quote_end:
        // A doubled quote is a quote inside the string; anything else follows the string.
        if (data[i] == '"') {
          ++i;
          state_ = state::quoted;
        } else {
          state_ = state::text;
        }
        break;
      case state::hash: {
        const unsigned char c = data[i];
        if (c >= '1' && c <= '9') {
          digits_left_ = c - '0';
          block_left_ = 0;
          state_ = state::length_digits;
          ++i;
        } else {
          // "#0" (indefinite block, which only END can end), "#H1F" and other non-block uses
          // of '#': plain text, and this byte is looked at again there.
          state_ = state::text;
        }
        break;
      }
      case state::length_digits: {
        const unsigned char c = data[i];
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
        const std::uint64_t skip = std::min<std::uint64_t>(block_left_, size - i);
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
