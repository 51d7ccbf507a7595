// Reading answers: binary blocks kept whole in the /o= file (zero bytes and newlines inside
// included) at every buffer size, and answers longer than the buffer on the console, one
// line per piece, or bare with /l.
#include "e2e.h"

namespace kobrant::test {
namespace {

using responses = kobrant_e2e;

TEST_F(responses, a_block_lands_in_the_file_byte_for_byte) {
  for (const std::size_t n : {0u, 1u, 100'000u, 2'000'000u}) {
    SCOPED_TRACE("BLOCK? " + std::to_string(n));
    const auto out_file = files / "block.bin";
    const std::string command = "BLOCK? " + std::to_string(n);
    const auto result = run({"/c=" + command, "/o=" + out_file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo(command));
    const std::string expected = block_answer(n);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_F(responses, a_block_spanning_many_reads_at_every_small_buffer_size) {
  // 600 bytes of data hold 0x0A at 10, 266 and 522 and 0x00 at 0, 256 and 512: a reader that
  // stops at a newline inside the block, or loses bytes at a piece boundary, shows here.
  const std::string expected = block_answer(600);
  for (std::size_t size = 1; size <= 10; ++size) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto out_file = files / ("block" + std::to_string(size) + ".bin");
    const auto result =
        run({"/c=BLOCK? 600", "/b=" + std::to_string(size), "/o=" + out_file.string(), "/l"});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, "");
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_F(responses, a_large_block_through_a_small_buffer) {
  const auto out_file = files / "block.bin";
  const auto result = run({"/c=BLOCK? 1000000", "/b=4096", "/o=" + out_file.string()});
  ASSERT_EQ(result.status, 0) << describe(result);
  const std::string expected = block_answer(1'000'000);
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, expected) << first_difference(expected, got);
}

TEST_F(responses, a_long_answer_prints_one_line_per_piece) {
  // TEXT? 15 is 16 bytes with its newline: buffers that divide it exactly end the answer
  // on a full read, which must not be taken for "more to come".
  const std::string response = text_pattern(15) + "\n";
  for (const std::size_t size : {3u, 4u, 8u, 15u, 16u, 17u}) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto result = run({"/c=TEXT? 15", "/b=" + std::to_string(size), "/t=2000"});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo_pieces("TEXT? 15", size) + answer_pieces(response, size));
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(responses, a_long_answer_with_no_echo_is_printed_whole_and_bare) {
  const auto result = run({"/c=TEXT? 100000", "/b=1000", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  const std::string expected = text_pattern(100'000) + "\n";
  EXPECT_EQ(result.out, expected) << first_difference(expected, result.out);
}

TEST_F(responses, the_console_shows_each_piece_up_to_its_first_zero_byte) {
  // "#15" 00 01 02 03 04 "\n": whole, the line stops at the zero; in pieces of 4, the second
  // piece has no zero and shows in full.
  const auto whole = run({"/c=BLOCK? 5"});
  ASSERT_EQ(whole.status, 0) << describe(whole);
  EXPECT_EQ(whole.out, echo("BLOCK? 5") + answer("#15"));

  const auto split = run({"/c=BLOCK? 5", "/b=4"});
  ASSERT_EQ(split.status, 0) << describe(split);
  EXPECT_EQ(split.out, echo_pieces("BLOCK? 5", 4) + answer("#15") +
                           answer(std::string("\x01\x02\x03\x04", 4)) + answer("\n"));
}

}  // namespace
}  // namespace kobrant::test
