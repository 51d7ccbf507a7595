// What the simulated instrument answers. The commands exist to exercise a client: an
// identification, binary blocks and long texts of any length, an echo, and hostile answers:
// ones that never come, stop half-way, end in a dropped or reset connection, trickle in a
// byte at a time, or announce a block far larger than anything that follows.
#include "instrument.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace kobrant::sim {
namespace {

constexpr std::string_view identification = "KOBRANT,SIM-1,0,1.0\n";
constexpr std::string_view undefined_header = "-113,\"Undefined header\"\n";
constexpr std::string_view data_out_of_range = "-222,\"Data out of range\"\n";
constexpr std::string_view white_space = " \t\r\n\v\f";
// The largest header a definite-length block can have: nine digits of length, all nines.
// Read as a header it announces 999999999 bytes, and the last '9' is the block's first byte.
constexpr std::string_view huge_block_header = "#9999999999";
// Bytes of the huge block actually sent before the instrument falls silent.
constexpr std::uint64_t huge_block_sent = 16;

// A body piece is at most this long: large enough that sending a big block costs few system
// calls, small enough to keep both pattern buffers near a megabyte.
constexpr std::size_t max_piece = std::size_t{1} << 20;

struct pattern_buffer {
  std::vector<std::byte> bytes;
  std::size_t period = 1;
};

// Holds the pattern from index 0 for max_piece bytes plus one period, so that for any body
// position p the bytes from (p % period) on are the body's bytes from p on, for a full piece.
pattern_buffer make_pattern(std::size_t period, std::byte (*byte_at)(std::size_t)) {
  pattern_buffer buffer;
  buffer.period = period;
  buffer.bytes.resize(max_piece + period);
  for (std::size_t i = 0; i < buffer.bytes.size(); ++i) buffer.bytes[i] = byte_at(i);
  return buffer;
}

const pattern_buffer& buffer_for(pattern kind) {
  static const pattern_buffer binary =
      make_pattern(256, [](std::size_t i) { return static_cast<std::byte>(i % 256); });
  static const pattern_buffer text =
      make_pattern(26, [](std::size_t i) { return static_cast<std::byte>('A' + i % 26); });
  return kind == pattern::binary ? binary : text;
}

std::span<const std::byte> as_bytes(std::string_view text) {
  return std::as_bytes(std::span<const char>(text.data(), text.size()));
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(white_space);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(white_space);
  return text.substr(first, last - first + 1);
}

bool same_keyword(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
           return upper(x) == upper(y);
         });
}

// A count argument: decimal digits only, at most max_count. Leading zeros are accepted;
// signs, fractions, exponents and trailing words are not.
bool parse_count(std::string_view text, std::uint64_t& count,
                 std::uint64_t max = instrument_session::max_count) {
  if (text.empty()) return false;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > max) return false;
  }
  count = value;
  return true;
}

// "n ms": two counts apart, the second at most max_drip_gap_ms.
bool parse_drip(std::string_view text, std::uint64_t& count, std::uint64_t& gap_ms) {
  const auto split = text.find_first_of(white_space);
  if (split == std::string_view::npos) return false;
  return parse_count(text.substr(0, split), count) &&
         parse_count(trim(text.substr(split)), gap_ms, instrument_session::max_drip_gap_ms);
}

// "#<d><n>": d is the number of decimal digits of n, so n = 0 gives "#10".
std::string block_header(std::uint64_t count) {
  // Built with += : g++ 12 at -O3 reports a false -Wrestrict on "#" + std::string.
  const std::string digits = std::to_string(count);
  std::string header = "#";
  header += std::to_string(digits.size());
  header += digits;
  return header;
}

}  // namespace

response response::literal(std::string text, after_answer after) {
  response r;
  r.head_ = std::move(text);
  r.after_ = after;
  return r;
}

response response::generated(std::string head, pattern body, std::uint64_t body_len,
                             std::string tail, after_answer after) {
  response r;
  r.head_ = std::move(head);
  r.body_ = body;
  r.body_len_ = body_len;
  r.tail_ = std::move(tail);
  r.after_ = after;
  return r;
}

std::span<const std::byte> response::next(std::size_t max_len) {
  if (gap_.count() > 0) max_len = 1;
  const std::uint64_t head_len = head_.size();
  if (sent_ < head_len) {
    const auto n = std::min<std::uint64_t>(max_len, head_len - sent_);
    const auto piece = as_bytes(head_).subspan(sent_, n);
    sent_ += n;
    return piece;
  }
  const std::uint64_t body_pos = sent_ - head_len;
  if (body_pos < body_len_) {
    const auto n = std::min<std::uint64_t>({max_len, body_len_ - body_pos, max_piece});
    const auto& buffer = buffer_for(body_);
    const auto piece = std::span(buffer.bytes).subspan(body_pos % buffer.period, n);
    sent_ += n;
    return piece;
  }
  const std::uint64_t tail_pos = body_pos - body_len_;
  const auto n = std::min<std::uint64_t>(max_len, tail_.size() - tail_pos);
  const auto piece = as_bytes(tail_).subspan(tail_pos, n);
  sent_ += n;
  return piece;
}

response instrument_session::respond(std::span<const std::byte> message) {
  const std::string_view text(reinterpret_cast<const char*>(message.data()), message.size());
  const std::string_view trimmed = trim(text);
  const auto keyword_end = std::min(trimmed.find_first_of(white_space), trimmed.size());
  const std::string_view keyword = trimmed.substr(0, keyword_end);
  const std::string_view argument = trim(trimmed.substr(keyword_end));

  // STATUS n: the status byte a serial poll reports from now on (n from 0 to 255). No answer.
  std::uint64_t status = 0;
  if (same_keyword(keyword, "STATUS") && parse_count(argument, status, 0xFF)) {
    status_bits_ = static_cast<std::uint8_t>(status);
    return {};
  }
  if (stalled_ || text.find('?') == std::string_view::npos) return {};

  if (same_keyword(keyword, "*IDN?")) return response::literal(std::string(identification));
  if (same_keyword(keyword, "SILENT?")) return {};
  if (same_keyword(keyword, "HUGEBLOCK?")) {
    stalled_ = true;
    return response::generated(std::string(huge_block_header), pattern::text, huge_block_sent, "",
                               after_answer::stall);
  }
  if (same_keyword(keyword, "ECHO?")) {
    // The echo is the text as received: only the message's own newline and the one blank
    // that separates it from the keyword are left out.
    std::string_view body = text;
    if (!body.empty() && body.back() == '\n') body.remove_suffix(1);
    auto start = body.find_first_not_of(white_space) + keyword.size();
    if (start < body.size() && (body[start] == ' ' || body[start] == '\t')) ++start;
    return response::literal(std::string(body.substr(std::min(start, body.size()))) + "\n");
  }

  const bool block = same_keyword(keyword, "BLOCK?");
  const bool long_text = same_keyword(keyword, "TEXT?");
  const bool stall = same_keyword(keyword, "STALL?");
  const bool drop = same_keyword(keyword, "DROP?");
  const bool reset = same_keyword(keyword, "RESET?");
  const bool drip = same_keyword(keyword, "DRIP?");
  if (!(block || long_text || stall || drop || reset || drip)) {
    return response::literal(std::string(undefined_header));
  }
  std::uint64_t count = 0;
  std::uint64_t gap_ms = 0;
  if (drip ? !parse_drip(argument, count, gap_ms) : !parse_count(argument, count)) {
    return response::literal(std::string(data_out_of_range));
  }

  if (block) return response::generated(block_header(count), pattern::binary, count, "\n");
  if (long_text) return response::generated("", pattern::text, count, "\n");
  if (stall) {
    stalled_ = true;
    return response::generated("", pattern::text, count, "", after_answer::stall);
  }
  if (drip) {
    response answer = response::generated("", pattern::text, count, "\n");
    answer.paced(std::chrono::milliseconds(gap_ms));
    return answer;
  }
  return response::generated("", pattern::text, count, "", reset ? after_answer::reset : after_answer::drop);
}

}  // namespace kobrant::sim
