// The status byte, triggers and device clear through the C API against kobrant-sim, over each
// transport: where the protocol carries them they must reach the instrument and report what
// it says; where it does not, the library says so. A clear must leave the next query its own
// answer, also when the previous answer is still on its way.
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "patterns.h"
#include "private_network.h"
#include "simulator.h"
#include "transports.h"

namespace kobrant::test {
namespace {

struct device_row {
  transport_row transport;
  const char* trigger_record;  // the simulator's record of a trigger; "" where the protocol has
                               // neither a status byte nor a trigger
  bool has_status_and_trigger() const { return *trigger_record != '\0'; }
};

void PrintTo(const device_row& row, std::ostream* out) { *out << row.transport.name; }

const device_row rows[] = {
    {transport_named("hislip"), "HISLIP:Trigger"},
    {transport_named("vxi11"), "VXI11:device_trigger"},
    {transport_named("socket"), ""},
    {transport_named("serial"), ""},
};

// The simulated serial instrument sees the port being flushed and drops its answer itself,
// which no real one does; tests/serial clears a line whose answer goes on regardless.
const device_row clear_rows[] = {rows[0], rows[1], rows[2]};

constexpr ViUInt16 mav = 0x10;

class device_ops : public ::testing::TestWithParam<device_row> {
 protected:
  void SetUp() override {
    SKIP_WITHOUT_NETWORK_FOR(GetParam().transport);
    sim.emplace(GetParam().transport.sim_args);
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
    ASSERT_EQ(viOpen(rm, sim->resource().c_str(), VI_NULL, 5000, &vi), VI_SUCCESS) << sim->resource();
    ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 5000), VI_SUCCESS);
  }
  void TearDown() override {
    if (rm != VI_NULL) viClose(rm);
  }

  void write(std::string_view text) {
    ViUInt32 n = 0;
    ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(text.data()), static_cast<ViUInt32>(text.size()), &n),
              VI_SUCCESS) << text;
    ASSERT_EQ(n, text.size());
  }
  std::string read() {
    std::string buffer(4096, '\0');
    ViUInt32 n = 0;
    EXPECT_EQ(viRead(vi, reinterpret_cast<ViBuf>(buffer.data()), static_cast<ViUInt32>(buffer.size()), &n),
              VI_SUCCESS);
    buffer.resize(n);
    return buffer;
  }
  ViUInt16 status_byte() {
    ViUInt16 stb = 0xFFFF;
    EXPECT_EQ(viReadSTB(vi, &stb), VI_SUCCESS);
    return stb;
  }

  std::optional<simulator> sim;
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
};

TEST_P(device_ops, status_byte_has_the_instruments_bits_and_mav_while_an_answer_waits) {
  if (!GetParam().has_status_and_trigger()) {
    ViUInt16 stb = 0;
    EXPECT_EQ(viReadSTB(vi, &stb), VI_ERROR_NSUP_OPER);
    return;
  }
  EXPECT_EQ(status_byte(), 0);
  write("STATUS 65\n");
  EXPECT_EQ(status_byte(), 65) << "the byte the instrument set, asked right after setting it";
  write("*IDN?\n");
  EXPECT_EQ(status_byte(), 65 | mav) << "an answer waits";
  EXPECT_EQ(status_byte(), 65 | mav) << "asking again takes nothing";
  EXPECT_EQ(read(), identification);
  EXPECT_EQ(status_byte(), 65) << "the answer was read";
  write("STATUS 0\n");
  EXPECT_EQ(status_byte(), 0);
}

TEST_P(device_ops, trigger_reaches_the_instrument_where_the_protocol_has_one) {
  if (!GetParam().has_status_and_trigger()) {
    EXPECT_EQ(viAssertTrigger(vi, VI_TRIG_PROT_DEFAULT), VI_ERROR_NSUP_OPER);
    EXPECT_EQ(sim->record(), std::vector<record_entry>{});
    return;
  }
  EXPECT_EQ(viAssertTrigger(vi, VI_TRIG_PROT_DEFAULT), VI_SUCCESS);
  EXPECT_EQ(viAssertTrigger(vi, 1), VI_ERROR_INV_PROT);
  // The session stays in step: a query after the trigger gets its answer.
  write("*IDN?\n");
  EXPECT_EQ(read(), identification);
  std::vector<std::string> seen;
  for (const auto& e : sim->wait_for_record(2)) seen.push_back(e.transport);
  const std::string trigger = GetParam().trigger_record;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), trigger), 1) << "exactly one trigger arrived";
}

using device_clear = device_ops;

TEST_P(device_clear, drops_an_answer_still_in_transit) {
  // The answer trickles in, a byte every 2 ms: most of it is still on its way at the clear.
  write("DRIP? 20 2\n");
  ASSERT_EQ(viClear(vi), VI_SUCCESS);
  write("*IDN?\n");
  EXPECT_EQ(read(), identification) << "the query gets its own answer, not the rest of the old one";
  write("ECHO? next\n");
  EXPECT_EQ(read(), "next\n") << "and later queries stay in step";
}

const auto row_name = [](const auto& info) { return std::string(info.param.transport.name); };
INSTANTIATE_TEST_SUITE_P(transports, device_ops, ::testing::ValuesIn(rows), row_name);
INSTANTIATE_TEST_SUITE_P(transports, device_clear, ::testing::ValuesIn(clear_rows), row_name);

}  // namespace
}  // namespace kobrant::test
