// Response-end finder. Outside blocks and strings it moves in strides: inside a plain word only
// a newline, ',' or ';' can change anything, and inside a response header only the first byte
// that is no header character can, so both are found by a scan that tests 32 bytes at a time
// where the processor has AVX2 (chosen at run time), 16 with SSE2, one elsewhere. The bytes that decide whether a data
// element is a block or a string ('#', '"', and whether a header came first) are each looked at
// once, where an element starts. Block data is skipped in one step and string contents with
// memchr, so a gigabyte block costs next to nothing; a declared block length is only a count
// of bytes to pass over: nothing is ever allocated from it.
#include "message_end.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
#define KOBRANT_SCAN_SSE2 1
#endif
#if KOBRANT_SCAN_SSE2 && defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define KOBRANT_SCAN_AVX2 1
// glibc's feature header is C (it uses _Bool), which clang's C++ mode refuses.
#if __has_include(<sys/platform/x86.h>) && !defined(__clang__)
#include <sys/platform/x86.h>
#define KOBRANT_GLIBC_CPU_FEATURES 1
#endif
#endif

namespace kobrant::visa {
namespace {

using state = message_end::state;

bool header_start(unsigned char c) { return (c >= 'A' && c <= 'Z') || c == ':' || c == '*'; }

bool header_char(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
}

bool separator_or_newline(unsigned char c) { return c == '\n' || c == ',' || c == ';'; }

#if KOBRANT_SCAN_SSE2

// A bit per byte of 16 that ends a plain word: '\n', ',' or ';'.
unsigned word_end_mask(__m128i v) {
  const __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                 _mm_cmpeq_epi8(v, _mm_set1_epi8(','))),
                                    _mm_cmpeq_epi8(v, _mm_set1_epi8(';')));
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

// A bit per byte of 16 that ends a response header: anything but 'A'-'Z', '0'-'9', ':' (which
// follows '9') and '_'. A byte is in [lo, lo + n] when min(byte - lo, n) == byte - lo.
unsigned header_end_mask(__m128i v) {
  const __m128i digit_or_colon = _mm_sub_epi8(v, _mm_set1_epi8('0'));
  const __m128i letter = _mm_sub_epi8(v, _mm_set1_epi8('A'));
  const __m128i in = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(digit_or_colon, _mm_set1_epi8(':' - '0')), digit_or_colon),
                   _mm_cmpeq_epi8(_mm_min_epu8(letter, _mm_set1_epi8('Z' - 'A')), letter)),
      _mm_cmpeq_epi8(v, _mm_set1_epi8('_')));
  return static_cast<unsigned>(_mm_movemask_epi8(in)) ^ 0xFFFFu;
}

std::size_t lowest_bit(unsigned mask) { return static_cast<std::size_t>(std::countr_zero(mask)); }

// The first position in data[from, size) whose byte mask_of marks, or size: 64 bytes a round
// while the stretch lasts, then 16, then one at a time for the last few.
template <unsigned (*mask_of)(__m128i), bool (*hit)(unsigned char)>
std::size_t scan(const unsigned char* data, std::size_t from, std::size_t size) {
  std::size_t i = from;
  for (; size - i >= 64; i += 64) {
    const unsigned m0 = mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
    const unsigned m1 = mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 16)));
    const unsigned m2 = mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 32)));
    const unsigned m3 = mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 48)));
    if ((m0 | m1 | m2 | m3) == 0) continue;
    if (m0) return i + lowest_bit(m0);
    if (m1) return i + 16 + lowest_bit(m1);
    if (m2) return i + 32 + lowest_bit(m2);
    return i + 48 + lowest_bit(m3);
  }
  for (; size - i >= 16; i += 16) {
    const unsigned m = mask_of(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)));
    if (m) return i + lowest_bit(m);
  }
  for (; i < size && !hit(data[i]); ++i) {
  }
  return i;
}

bool not_header_char(unsigned char c) { return !header_char(c); }

#if KOBRANT_SCAN_AVX2

// The same tests on 32 bytes; compiled for AVX2 alone, used only where the processor has it.
#define KOBRANT_AVX2 __attribute__((target("avx2")))

// Each gives 0xFF for a byte that stops the scan, 0 for one it passes.
KOBRANT_AVX2 __m256i word_end_hits(__m256i v) {
  return _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\n')),
                                         _mm256_cmpeq_epi8(v, _mm256_set1_epi8(','))),
                         _mm256_cmpeq_epi8(v, _mm256_set1_epi8(';')));
}

// Header characters lie in three rows of 16 of the byte table: 0x30-0x3A ('0'-'9', ':'),
// 0x41-0x4F and 0x50-0x5A ('A'-'Z'), 0x5F ('_'). Each row has a bit; a byte is a header character
// when the bits its low half allows and the bit of its row (none above 0x7F: the shuffle gives
// zero there) share one. Two table look-ups instead of two range tests and three comparisons.
KOBRANT_AVX2 __m256i header_end_hits(__m256i v) {
  constexpr char r3 = 1, r4 = 2, r5 = 4;  // rows 0x3_, 0x4_, 0x5_
  constexpr char lo_0 = r3 | r5, lo_1_to_a = r3 | r4 | r5, lo_b_to_e = r4, lo_f = r4 | r5;
  const __m256i by_low = _mm256_setr_epi8(
      lo_0, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a,
      lo_1_to_a, lo_1_to_a, lo_b_to_e, lo_b_to_e, lo_b_to_e, lo_b_to_e, lo_f,
      lo_0, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a, lo_1_to_a,
      lo_1_to_a, lo_1_to_a, lo_b_to_e, lo_b_to_e, lo_b_to_e, lo_b_to_e, lo_f);
  const __m256i by_row = _mm256_setr_epi8(0, 0, 0, r3, r4, r5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 0, 0, r3, r4, r5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i row = _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F));
  const __m256i in = _mm256_and_si256(_mm256_shuffle_epi8(by_low, v), _mm256_shuffle_epi8(by_row, row));
  return _mm256_cmpeq_epi8(in, _mm256_setzero_si256());
}

KOBRANT_AVX2 std::uint32_t bits(__m256i hits) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(hits)); }

// 128 bytes a round while the stretch lasts, with one test for all four 32-byte parts; the rest
// goes to the 16-byte scan.
template <__m256i (*hits_of)(__m256i), unsigned (*mask16_of)(__m128i), bool (*hit)(unsigned char)>
KOBRANT_AVX2 std::size_t scan_avx2(const unsigned char* data, std::size_t from, std::size_t size) {
  std::size_t i = from;
  for (; size - i >= 128; i += 128) {
    const auto* p = reinterpret_cast<const __m256i*>(data + i);
    const __m256i h0 = hits_of(_mm256_loadu_si256(p));
    const __m256i h1 = hits_of(_mm256_loadu_si256(p + 1));
    const __m256i h2 = hits_of(_mm256_loadu_si256(p + 2));
    const __m256i h3 = hits_of(_mm256_loadu_si256(p + 3));
    const __m256i any = _mm256_or_si256(_mm256_or_si256(h0, h1), _mm256_or_si256(h2, h3));
    if (_mm256_testz_si256(any, any)) continue;
    if (const std::uint32_t m = bits(h0)) return i + static_cast<std::size_t>(std::countr_zero(m));
    if (const std::uint32_t m = bits(h1)) return i + 32 + static_cast<std::size_t>(std::countr_zero(m));
    if (const std::uint32_t m = bits(h2)) return i + 64 + static_cast<std::size_t>(std::countr_zero(m));
    return i + 96 + static_cast<std::size_t>(std::countr_zero(bits(h3)));
  }
  return scan<mask16_of, hit>(data, i, size);
}

// glibc has read the processor's features already; asking it costs nothing. The compiler's own
// check would run CPUID at every start-up, which a virtual machine makes slow.
#if KOBRANT_GLIBC_CPU_FEATURES
bool has_avx2() { return CPU_FEATURE_ACTIVE(AVX2); }
#else
bool has_avx2() {
  static const bool yes = __builtin_cpu_supports("avx2");
  return yes;
}
#endif

std::size_t find_word_end(const unsigned char* data, std::size_t from, std::size_t size) {
  if (size - from >= 128 && has_avx2()) {
    return scan_avx2<word_end_hits, word_end_mask, separator_or_newline>(data, from, size);
  }
  return scan<word_end_mask, separator_or_newline>(data, from, size);
}

std::size_t find_header_end(const unsigned char* data, std::size_t from, std::size_t size) {
  if (size - from >= 128 && has_avx2()) {
    return scan_avx2<header_end_hits, header_end_mask, not_header_char>(data, from, size);
  }
  return scan<header_end_mask, not_header_char>(data, from, size);
}

#else

std::size_t find_word_end(const unsigned char* data, std::size_t from, std::size_t size) {
  return scan<word_end_mask, separator_or_newline>(data, from, size);
}

std::size_t find_header_end(const unsigned char* data, std::size_t from, std::size_t size) {
  return scan<header_end_mask, not_header_char>(data, from, size);
}

#endif

#else

std::size_t find_word_end(const unsigned char* data, std::size_t from, std::size_t size) {
  while (from < size && !separator_or_newline(data[from])) ++from;
  return from;
}

std::size_t find_header_end(const unsigned char* data, std::size_t from, std::size_t size) {
  while (from < size && header_char(data[from])) ++from;
  return from;
}

#endif

}  // namespace

std::optional<std::size_t> message_end::feed(std::span<const std::byte> bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t size = bytes.size();
  std::size_t i = 0;
  while (i < size) {
    switch (state_) {
      case state::text: {
        // Inside a word only a separator or the newline matters; a '#' or '"' here is text.
        const std::size_t at = find_word_end(data, i, size);
        if (at == size) return std::nullopt;
        if (data[at] == '\n') {
          reset();
          return at + 1;
        }
        state_ = data[at] == ';' ? state::unit_start : state::element_start;
        i = at + 1;
        break;
      }
      case state::header: {
        const std::size_t at = find_header_end(data, i, size);
        if (at == size) return std::nullopt;
        if (data[at] == ' ') {
          state_ = state::element_start;
          i = at + 1;
        } else {
          // A separator, the newline or anything else: the word rules decide, from this byte.
          state_ = state::text;
          i = at;
        }
        break;
      }
      case state::unit_start:
      case state::element_start: {
        // The one byte where a block, a string or (after ';' or at the start) a header begins.
        const unsigned char c = data[i];
        if (c == '#') {
          state_ = state::hash;
          ++i;
        } else if (c == '"') {
          state_ = state::quoted;
          ++i;
        } else if (state_ == state::unit_start && header_start(c)) {
          state_ = state::header;
          ++i;
        } else {
          // A plain word, or a separator or newline right away: looked at again as text.
          state_ = state::text;
        }
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
