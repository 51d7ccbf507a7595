// kobrant against kobrant-sim over HiSLIP, for what only HiSLIP shows (the runs every transport
// shares are in tests/e2e): messages split at a small maximum message size, and the
// protocol's control messages.
#include <algorithm>

#include "e2e.h"

namespace kobrant::test {
namespace {

std::vector<std::string> control_types(const std::vector<record_entry>& all) {
  std::vector<std::string> out;
  for (const auto& e : all)
    if (e.transport.starts_with("HISLIP:")) out.push_back(e.transport.substr(7));
  return out;
}

// A server that takes and sends messages of at most 64 bytes, header included.
class hislip_small_messages : public transport_e2e {
 protected:
  hislip_small_messages() : transport_e2e({"--hislip-max-message", "64"}) {}
};

TEST_P(hislip_small_messages, writes_and_answers_split_into_messages_the_server_accepts) {
  const std::string text(300, 'x');
  auto result = run({"/c=ECHO? " + text, "/l"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, text + "\n");
  const auto record = sim->record();
  const auto got = data_messages(row(), record);
  // 306 bytes at 48 per message; the server recorded no message as too large.
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(std::count_if(got.begin(), got.end(), [](const record_entry& e) { return e.end; }), 1);
  EXPECT_TRUE(got.back().end);
  EXPECT_EQ(joined_bytes(got), "ECHO? " + text);
  // The record names every other message by its type; Initialize carries the sub-address
  // after its 16-byte header.
  EXPECT_EQ(control_types(record),
            (std::vector<std::string>{"Initialize", "AsyncInitialize", "AsyncMaximumMessageSize"}));
  EXPECT_EQ(record.front().bytes.substr(16), "hislip0");

  const auto out_file = files / "block.bin";
  // 48-byte messages against 7-byte reads: messages and reads end everywhere in each other.
  result = run({"/c=BLOCK? 5000", "/b=7", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(read_file(out_file), block_answer(5000));
}

INSTANTIATE_TEST_SUITE_P(hislip, hislip_small_messages, ::testing::Values(transport_named("hislip")), transport_row_name);

}  // namespace
}  // namespace kobrant::test
