// kobrant and the library against kobrant-sim over VXI-11, for what only VXI-11 shows (the
// runs every transport shares are in tests/e2e): a link whose maxRecvSize cuts each write
// with END on its last piece, one answer per END, the instrument stopping at the termination
// character, a device clear, and a device the server does not have. Each test has a network
// namespace to itself, where the simulator serves the port mapper on port 111.
#include "e2e.h"
#include "visa_session.h"

namespace kobrant::test {
namespace {

const std::string idn(identification);
const auto vxi11_only = ::testing::Values(transport_named("vxi11"));

using vxi11_runs = transport_e2e;

TEST_P(vxi11_runs, each_answer_ends_with_its_own_end) {
  ASSERT_EQ(sim->resource(), "TCPIP0::127.0.0.1::inst0::INSTR");
  // Two messages in one command, two answers: the read stops at the first one's END.
  const auto result = run({"/c=*IDN?\nECHO? second", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, idn);
}

TEST_P(vxi11_runs, no_such_device_on_a_server_is_not_found) {
  const auto no_device = run_kobrant({"/a=TCPIP0::127.0.0.1::gpib0,5::INSTR", "/c=*IDN?"});
  EXPECT_EQ(no_device.status, exit_visa_failure) << describe(no_device);
  EXPECT_TRUE(is_status_line(no_device.err, visa_not_found));
  EXPECT_EQ(sim->record(), std::vector<record_entry>{});
}

INSTANTIATE_TEST_SUITE_P(vxi11, vxi11_runs, vxi11_only, transport_row_name);

class vxi11_small_link : public transport_e2e {
 protected:
  vxi11_small_link() : transport_e2e({"--vxi11-max-recv", "4"}) {}
};

TEST_P(vxi11_small_link, max_recv_size_cuts_one_write_with_end_on_its_last_piece) {
  // One viWrite each (the tool's buffer is far larger); the link takes 4 bytes a call.
  std::vector<record_entry> expected;
  for (const std::string command : {"ABCDEFGHIJ", "ABCD", "ABCDE"}) {
    SCOPED_TRACE(command);
    const auto result = run({"/c=" + command});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo(command));
    const auto these = sent_as(row(), command, 4);
    expected.insert(expected.end(), these.begin(), these.end());
  }
  EXPECT_EQ(sim->wait_for_record(expected.size()), expected);
}

TEST_P(vxi11_small_link, a_query_in_pieces_is_one_message_to_the_instrument) {
  const auto result = run({"/c=ECHO? cut in pieces", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, "cut in pieces\n");
}

INSTANTIATE_TEST_SUITE_P(vxi11, vxi11_small_link, vxi11_only, transport_row_name);

// The library itself against the simulator, for what the tool never asks for.
class vxi11_session : public transport_e2e {
 protected:
  void SetUp() override {
    transport_e2e::SetUp();
    if (IsSkipped()) return;
    ASSERT_EQ(session.open_resource(sim->resource()), VI_SUCCESS);
  }
  visa_session session;
};

TEST_P(vxi11_session, the_instrument_stops_at_the_termination_character_when_asked) {
  ASSERT_EQ(viSetAttribute(session.vi, VI_ATTR_TERMCHAR, ';'), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(session.vi, VI_ATTR_TERMCHAR_EN, VI_TRUE), VI_SUCCESS);
  ASSERT_EQ(session.write("ECHO? a;bc;d"), VI_SUCCESS);
  std::string r;
  EXPECT_EQ(session.read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, "a;");
  EXPECT_EQ(session.read(r, 2), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(r, "bc");
  EXPECT_EQ(session.read(r, 100), VI_SUCCESS_TERM_CHAR);
  EXPECT_EQ(r, ";");
  EXPECT_EQ(session.read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, "d\n");
}

TEST_P(vxi11_session, a_device_clear_discards_the_rest_of_an_answer) {
  ASSERT_EQ(session.write("TEXT? 100"), VI_SUCCESS);
  std::string r;
  ASSERT_EQ(session.read(r, 10), VI_SUCCESS_MAX_CNT);
  EXPECT_EQ(viClear(session.vi), VI_SUCCESS);
  ASSERT_EQ(session.write("*IDN?"), VI_SUCCESS);
  EXPECT_EQ(session.read(r, 100), VI_SUCCESS);
  EXPECT_EQ(r, idn);
}

INSTANTIATE_TEST_SUITE_P(vxi11, vxi11_session, vxi11_only, transport_row_name);

}  // namespace
}  // namespace kobrant::test
