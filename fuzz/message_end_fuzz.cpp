// Differential check of the end finder: arbitrary responses go through the finder whole, cut
// once at a point the input chooses, and cut into pieces of a size the input chooses, and every
// end it reports (the first response, then the next from the bytes after it, and so on) must
// match a plain byte-at-a-time model of the rules. The finder scans plain words and headers
// many bytes at a time, so the input may ask for long runs of one byte (0x7F, count, byte):
// short inputs then reach every stride of the scan, and every position of a hit within it.
#include "message_end.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

using kobrant::visa::message_end;

namespace {

// The rules one byte at a time: a newline ends the response unless it lies in a definite-length
// block or a string, and those start only where a data element starts.
class model {
 public:
  // True when c ends the response; the model is then ready for the next one.
  bool ends_with(unsigned char c) {
    for (;;) {
      switch (at_) {
        case where::response_start:
        case where::after_semicolon:
        case where::in_header:
        case where::after_comma_or_header:
        case where::in_word:
          if (c == '\n') {
            *this = model{};
            return true;
          }
          if (c == ',') {
            at_ = where::after_comma_or_header;
          } else if (c == ';') {
            at_ = where::after_semicolon;
          } else if (element_starts_here() && c == '#') {
            at_ = where::after_hash;
          } else if (element_starts_here() && c == '"') {
            at_ = where::in_string;
          } else if (header_may_start_here() && (upper(c) || c == ':' || c == '*')) {
            at_ = where::in_header;
          } else if (at_ == where::in_header && (upper(c) || digit(c) || c == '_' || c == ':')) {
            // the header goes on
          } else if (at_ == where::in_header && c == ' ') {
            at_ = where::after_comma_or_header;
          } else {
            at_ = where::in_word;
          }
          return false;
        case where::in_string:
          if (c == '"') at_ = where::after_string;
          return false;
        case where::after_string:
          if (c == '"') {
            at_ = where::in_string;
            return false;
          }
          at_ = where::in_word;
          continue;  // c is looked at again as text
        case where::after_hash:
          if (c >= '1' && c <= '9') {
            digits_ = c - '0';
            length_ = 0;
            at_ = where::in_length;
            return false;
          }
          at_ = where::in_word;
          continue;
        case where::in_length:
          if (!digit(c)) {
            at_ = where::in_word;
            continue;
          }
          length_ = length_ * 10 + (c - '0');
          if (--digits_ == 0) at_ = length_ == 0 ? where::in_word : where::in_block;
          return false;
        case where::in_block:
          if (--length_ == 0) at_ = where::in_word;
          return false;
      }
    }
  }

 private:
  enum class where {
    response_start, after_semicolon, in_header, after_comma_or_header, in_word,
    in_string, after_string, after_hash, in_length, in_block,
  };
  static bool upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }
  static bool digit(unsigned char c) { return c >= '0' && c <= '9'; }
  bool header_may_start_here() const { return at_ == where::response_start || at_ == where::after_semicolon; }
  bool element_starts_here() const { return header_may_start_here() || at_ == where::after_comma_or_header; }

  where at_ = where::response_start;
  unsigned digits_ = 0;
  std::uint64_t length_ = 0;
};

using ends = std::vector<std::size_t>;

ends model_ends(std::span<const std::byte> bytes) {
  model m;
  ends out;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (m.ends_with(static_cast<unsigned char>(bytes[i]))) out.push_back(i + 1);
  }
  return out;
}

// Feeds the bytes in the given pieces, as the read loop does: after an end, the rest of the
// piece is fed again for the next response.
ends finder_ends(std::span<const std::byte> bytes, const std::vector<std::size_t>& cuts) {
  message_end finder;
  ends out;
  std::size_t piece_start = 0;
  for (std::size_t k = 0; k <= cuts.size(); ++k) {
    const std::size_t piece_end = k < cuts.size() ? cuts[k] : bytes.size();
    std::size_t at = piece_start;
    while (at < piece_end) {
      auto stop = finder.feed(bytes.subspan(at, piece_end - at));
      if (!stop) break;
      if (*stop == 0 || *stop > piece_end - at) std::abort();
      at += *stop;
      out.push_back(at);
    }
    piece_start = piece_end;
  }
  return out;
}

// The response the input describes: its bytes as they are, except that 0x7F, n, c stands for
// (n + 1) * 3 copies of c (3 to 768).
std::vector<std::byte> expand(std::span<const std::uint8_t> in) {
  std::vector<std::byte> out;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] == 0x7F && i + 2 < in.size()) {
      out.insert(out.end(), (std::size_t{in[i + 1]} + 1) * 3, std::byte{in[i + 2]});
      i += 2;
    } else {
      out.push_back(std::byte{in[i]});
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // Pieces of 1 to 17 bytes, or of 7 to 903 to cut long runs inside the scan's strides.
  const std::size_t piece = data[0] < 128 ? data[0] % 17 + 1 : std::size_t{data[0] - 127u} * 7;
  const std::size_t split = (data[1] << 8 | data[2]);
  const std::vector<std::byte> response = expand(std::span(data + 3, size - 3));
  const std::span<const std::byte> bytes(response);

  const ends expected = model_ends(bytes);
  if (finder_ends(bytes, {}) != expected) std::abort();
  if (finder_ends(bytes, {split % (bytes.size() + 1)}) != expected) std::abort();
  std::vector<std::size_t> cuts;
  for (std::size_t at = piece; at < bytes.size(); at += piece) cuts.push_back(at);
  if (finder_ends(bytes, cuts) != expected) std::abort();
  return 0;
}
