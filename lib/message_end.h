// Where a response ends on a link without an END indicator (raw socket, serial): at the first
// newline that lies neither inside an IEEE 488.2 definite-length block (#<n><length><bytes>)
// nor inside a string response ("..." with "" for a quote inside). So a binary waveform holding
// 0x0A bytes arrives whole.
//
// A block or a string is a data element, and a data element starts only at the start of the
// response, right after ',' or ';', or right after a response header and one space. A response
// header is upper case: it starts the response or follows ';', begins with a letter, ':' or '*',
// and goes on with letters, digits, '_' and ':' (":CURV:DATA", "*IDN"). A '#' or '"' anywhere
// else is a byte of text, so "Serial #15" or 12" display ends at its newline.
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

  // Whether the bytes so far stop inside a definite-length block (its '#', header digits or
  // data), so the response goes on: a link with END uses it to see through an END a device set
  // too early.
  bool inside_block() const {
    return state_ == state::hash || state_ == state::length_digits || state_ == state::block_data;
  }

  // Where the scan stands. The first four are outside any block or string, where only a
  // newline, ',' and ';' (and '#' or '"' at an element start) change anything.
  enum class state : std::uint8_t {
    unit_start,     // start of the response or right after ';': a header or data may follow
    header,         // inside an upper-case response header
    element_start,  // right after ',' or after a header and its space: data follows
    text,           // inside a data element that is neither block nor string
    quoted,         // inside a string response
    quote_end,      // right after a quote that closes the string, unless another quote follows
    hash,           // right after a '#' that starts an element
    length_digits,  // inside the length of a block header
    block_data,     // inside a block's bytes
  };

 private:
  state state_ = state::unit_start;
  unsigned digits_left_ = 0;       // length digits still to come
  std::uint64_t block_left_ = 0;   // block bytes still to come (at most 999999999)
};

}  // namespace kobrant::visa
