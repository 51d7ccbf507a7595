// The end-of-response finder on links without END: newline outside blocks and strings, and
// blocks and strings only where a data element starts.
#include "message_end.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Every end the finder reports in input fed as two pieces cut at cut, the rest of a piece fed
// again after each end, as the read loop does.
std::vector<std::size_t> ends_when_cut(const std::string& input, std::size_t cut) {
  message_end finder;
  std::vector<std::size_t> ends;
  std::size_t at = 0;
  for (std::size_t piece_end : {cut, input.size()}) {
    while (at < piece_end) {
      std::string part = input.substr(at, piece_end - at);
      auto stop = finder.feed(bytes(part));
      if (!stop) {
        at = piece_end;
        break;
      }
      at += *stop;
      ends.push_back(at);
    }
  }
  return ends;
}

struct response_case {
  const char* name;
  std::string input;
  std::vector<std::size_t> ends;
};

// A '#' or '"' is a block or string only at the start of the response, after ',' or ';', or
// after an upper-case header and one space; elsewhere it is text and the first newline ends the
// answer. Each case is fed whole and cut at every point, header and length digits included.
TEST(message_end, blocks_and_strings_start_only_where_a_data_element_starts) {
  const std::vector<response_case> cases = {
      // text: the first newline ends it
      {"word with hash", "Serial #15\n", {11}},
      {"word with hash, more lines", "Serial #15ab\ncd\n", {13, 16}},
      {"inch mark", "12\" display\n", {12}},
      {"quote closing late", "size 12\" or 15\"\n", {16}},
      {"lower-case header", "curv #15ab\ncd\n", {11, 14}},
      {"mixed-case header", "Curv #15ab\ncd\n", {11, 14}},
      {"header without space", "CURV#15ab\ncd\n", {10, 13}},
      {"header with two spaces", "CURV  #15ab\ncd\n", {12, 15}},
      {"number then space", "1 #15ab\ncd\n", {8, 11}},
      {"second word after a header", "ABC DEF #15ab\ncd\n", {14, 17}},
      {"header after a comma", "1,CURV #15ab\ncd\n", {13, 16}},
      {"word after a comma", "1,b #15ab\ncd\n", {10, 13}},
      {"space before a header", " CURV #15ab\ncd\n", {12, 15}},
      {"text after a string", "\"a\"b\"c\nd\"\n", {7, 10}},
      {"text after a block", "#11xy#12\n\n\n", {9, 10, 11}},
      {"not a block", "#H1F,#Q7,#0,#x\n", {15}},
      // blocks and strings at element starts hide their newlines
      {"block at the start", "#15ab\ncd\n", {9}},
      {"block after a comma", "1,#15ab\ncd\n", {11}},
      {"block after a semicolon", "1;#15ab\ncd\n", {11}},
      {"block after a header", "CURV #15ab\ncd\n", {14}},
      {"block after a long header", ":CURV:DATA #15ab\ncd\n", {20}},
      {"block after a header after ;", "1;WAV_2:DATA #15ab\ncd\n", {22}},
      {"string after a common header", "*LRN \"a\nb\"\n", {11}},
      {"string after a header and comma", ":SYST:ERR -113,\"Bad\nname\"\n", {26}},
      {"doubled quotes", "\"x\"\",#15\n\"\n", {11}},
      {"block then string", "#15ab\ncd,\"x\ny\"\n", {15}},
      {"empty block then string", "1,#10,\"\n\"\n", {10}},
      {"mixed in one chunk", "#10,#10,\"\",#11x,ab#c,\"d\"\"e\"\n", {28}},
      // one answer after another: each starts afresh
      {"text then block", "Serial #15\n#12\n\n\n", {11, 17}},
      {"block then text", "#12\n\n\nSerial #15\n", {6, 17}},
  };
  for (const auto& c : cases) {
    for (std::size_t cut = 0; cut <= c.input.size(); ++cut) {
      EXPECT_EQ(ends_when_cut(c.input, cut), c.ends) << c.name << ", cut at " << cut;
    }
  }
}

// Every byte value, at every place of the header scan's 128-, 32- and 16-byte strides and its
// byte-at-a-time tail: only 'A'-'Z', '0'-'9', '_' and ':' carry a header on to the space after
// which "#12\n\n" is a block; any other byte ends the header, so that '#' is text.
TEST(message_end, header_scan_stops_at_exactly_the_bytes_no_header_holds) {
  for (int value = 0; value < 256; ++value) {
    const char c = static_cast<char>(value);
    const bool header = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == ':';
    for (std::size_t k = 1; k < 300; ++k) {
      const std::string input = std::string(k, 'A') + c + " #12\n\n\n";
      const std::size_t expected = header ? k + 8 : c == '\n' ? k + 1 : k + 6;
      ASSERT_EQ(end_of(input, input.size()), expected) << "byte " << value << " after " << k;
    }
  }
}

TEST(message_end, many_elements_in_one_chunk_are_each_judged_in_place) {
  // Alternating blocks, strings and words with '#' in one long response: an end finder that
  // remembered a search result past the point it applies to ends it early or late.
  std::string response;
  for (int i = 0; i < 2000; ++i) {
    response += i % 3 == 0 ? "#11\n" : i % 3 == 1 ? "\"a\n\"\"\"" : "no#1,";
    response += i % 2 == 0 ? "," : ";";
  }
  response += "end\n";
  const std::string input = response + "Serial #15\n";
  const std::vector<std::size_t> expected = {response.size(), input.size()};
  for (std::size_t cut : {std::size_t{0}, std::size_t{1}, response.size() / 2, response.size()}) {
    EXPECT_EQ(ends_when_cut(input, cut), expected) << "cut at " << cut;
  }
}

}  // namespace
}  // namespace kobrant::visa

namespace kobrant::visa {
namespace {

// Where a link with END may overrule an END the device set too early: only where the bytes so
// far stop inside a block that has more to come.
TEST(message_end, knows_when_a_response_stops_inside_a_block) {
  struct row {
    const char* text;
    bool inside;
  };
  const row rows[] = {
      {"#", true},       {"#3", true},        {"#31", true},      {"#310", true},
      {"#3100abc", true}, {"#15abcde", false}, {"#0", false},      {"1.5,#", true},
      {"Serial #", false}, {"\"#3100", false}, {":CURV #2", true}, {"", false},
  };
  for (const row& r : rows) {
    message_end finder;
    const std::string text = r.text;
    finder.feed(std::as_bytes(std::span(text.data(), text.size())));
    EXPECT_EQ(finder.inside_block(), r.inside) << r.text;
  }
}

}  // namespace
}  // namespace kobrant::visa
