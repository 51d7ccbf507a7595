// The store for input received but not yet delivered: bytes come out in order whatever the
// size of the reads, and END only with the very last byte held.
#include "held_bytes.h"

#include <gtest/gtest.h>

#include <string>

namespace kobrant::visa {
namespace {

std::span<const std::byte> bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }

// Takes everything in pieces of at most piece bytes; the END flag of each piece follows its
// bytes as '|'.
std::string drain(held_bytes& held, std::size_t piece) {
  std::string out;
  while (!held.empty()) {
    std::string space(piece, '\0');
    bool end = false;
    const std::size_t n = held.take(std::as_writable_bytes(std::span(space)), end);
    out += space.substr(0, n) + (end ? "|" : "");
  }
  return out;
}

TEST(held_bytes, any_read_size_gives_the_bytes_in_order_and_end_once_at_the_last) {
  for (std::size_t piece = 1; piece <= 9; ++piece) {
    held_bytes held;
    held.append(bytes("abcd"));
    held.append(bytes("efg"));
    held.set_end(true);
    EXPECT_EQ(drain(held, piece), "abcdefg|") << "piece " << piece;
    // Once taken, nothing of them stays: new bytes start afresh, without the old END.
    held.append(bytes("xy"));
    EXPECT_EQ(drain(held, piece), "xy") << "piece " << piece;
  }
}

TEST(held_bytes, bytes_given_back_come_again_before_the_rest) {
  struct row {
    const char* name;
    std::size_t first_take;  // bytes taken before some go back
    std::size_t unread;
    const char* rest;        // what the next reads see
  };
  const row rows[] = {
      {"part of a take", 4, 2, "cdef|"},
      {"the whole of a take that emptied the store", 6, 3, "def|"},
      {"all taken, all back", 6, 6, "abcdef|"},
  };
  for (const row& r : rows) {
    held_bytes held;
    held.append(bytes("abcdef"));
    held.set_end(true);
    std::string space(r.first_take, '\0');
    bool end = false;
    held.take(std::as_writable_bytes(std::span(space)), end);
    held.unread(r.unread);
    EXPECT_EQ(drain(held, 3), r.rest) << r.name;
  }
}

TEST(held_bytes, put_back_goes_in_front_and_end_stays_with_the_last_byte) {
  {
    // Into an empty store the bytes bring their own END.
    held_bytes held;
    held.put_back(bytes("ab"), true);
    EXPECT_EQ(drain(held, 8), "ab|");
  }
  {
    // In front of held bytes, the END of the held bytes still ends them; the front's does not.
    held_bytes held;
    held.append(bytes("cd"));
    held.set_end(true);
    std::string space(1, '\0');
    bool end = false;
    held.take(std::as_writable_bytes(std::span(space)), end);
    held.put_back(bytes("ab"), false);
    EXPECT_EQ(drain(held, 8), "abd|");
  }
  {
    held_bytes held;
    held.append(bytes("cd"));
    held.put_back(bytes("ab"), true);
    EXPECT_EQ(drain(held, 1), "abcd");
  }
}

}  // namespace
}  // namespace kobrant::visa
