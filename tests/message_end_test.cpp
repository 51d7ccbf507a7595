// The end-of-response finder on links without END: newline outside blocks and strings.
#include "message_end.h"

#include <gtest/gtest.h>

#include <string>

namespace kobrant::visa {
namespace {

std::span<const std::byte> bytes(const std::string& s) { return std::as_bytes(std::span(s.data(), s.size())); }

// Feeds text in pieces of the given size; returns the offset just past the end, or npos.
std::size_t end_of(const std::string& text, std::size_t piece) {
  message_end finder;
  for (std::size_t at = 0; at < text.size(); at += piece) {
    std::string part = text.substr(at, piece);
    if (auto stop = finder.feed(bytes(part))) return at + *stop;
  }
  return std::string::npos;
}

std::string block(std::size_t n) {
  std::string data;
  for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<char>(i % 256));
  std::string digits = std::to_string(n);
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "#" + std::string.
  std::string header = "#";
  header += std::to_string(digits.size());
  return header + digits + data;
}

TEST(message_end, text_ends_at_first_newline_whatever_the_piece_size) {
  for (std::size_t piece = 1; piece <= 10; ++piece) {
    EXPECT_EQ(end_of("KOBRANT,SIM\nnext\n", piece), 12u) << piece;
    EXPECT_EQ(end_of("no end yet", piece), std::string::npos) << piece;
  }
}

TEST(message_end, blocks_with_newlines_and_zeros_arrive_whole) {
  for (std::size_t n : {0u, 1u, 10u, 11u, 300u, 70000u}) {
    std::string response = ":CURV " + block(n) + "\n";
    for (std::size_t piece : {1u, 2u, 3u, 7u, 4096u}) {
      EXPECT_EQ(end_of(response + "tail", piece), response.size()) << n << " bytes, pieces of " << piece;
    }
  }
}

TEST(message_end, quoted_strings_hide_newlines) {
  std::string response = "-113,\"Undefined\nheader\"\n";
  EXPECT_EQ(end_of(response, 1), response.size());
  std::string doubled = "\"say \"\"hi\n\"\"\"\n";
  EXPECT_EQ(end_of(doubled, 3), doubled.size());
}

TEST(message_end, hash_that_is_not_a_block_is_text) {
  EXPECT_EQ(end_of("#HFF\n", 1), 5u);
  EXPECT_EQ(end_of("#0\n", 1), 3u) << "an indefinite block cannot be ended without END";
  EXPECT_EQ(end_of("#2\n", 1), 3u) << "a header cut short by a newline";
  EXPECT_EQ(end_of("#3x\n", 1), 4u);
  EXPECT_EQ(end_of("##15hello\n", 2), 10u);
}

TEST(message_end, state_resets_after_each_response) {
  message_end finder;
  std::string two = block(5) + "\n" + "abc\n";
  auto first = finder.feed(bytes(two));
  ASSERT_TRUE(first);
  auto second = finder.feed(bytes(two.substr(*first)));
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, 4u);
}

TEST(message_end, absurd_declared_length_allocates_nothing_and_never_ends) {
  message_end finder;
  EXPECT_FALSE(finder.feed(bytes("#9999999999\n\n\n")));
  finder.reset();
  EXPECT_TRUE(finder.feed(bytes("ok\n")));
}

}  // namespace
}  // namespace kobrant::visa
