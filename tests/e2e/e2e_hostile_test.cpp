// kobrant against a hostile instrument, the same table on every transport where the faults
// apply (raw socket, serial line): a connection dropped or reset before and during an answer,
// an answer that stalls, trickles in slower than the timeout allows, or announces a block far
// larger than what follows. Each run must end within its timeout plus a generous margin, with
// exit status -2 and the status line that names the fault, and with every byte that arrived
// before the fault in the /o= file or on the console.
#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "e2e.h"

namespace kobrant::test {
namespace {

// The run's I/O timeout, and how far past it a run may end before it counts as hung: a bound
// that catches a hang, not a measurement.
constexpr int timeout_ms = 500;
constexpr auto hang_margin = std::chrono::seconds(10);

struct transport_case {
  const char* name;
  std::vector<std::string> sim_args;
};

const transport_case transports[] = {
    {"socket", {"--socket", "0"}},
    {"serial", {"--serial"}},
};

struct fault_case {
  const char* name;
  std::string command;
  int status;            // the VISA status the run must end with
  std::string received;  // what the instrument sent before the fault
  // The answer trickles in: only some of it can arrive in time, so a non-empty part from its
  // start is what must be delivered.
  bool partial = false;
};

const std::vector<fault_case>& faults() {
  static const std::vector<fault_case> all = {
      {"drop_before_the_answer", "DROP? 0", visa_connection_lost, ""},
      {"drop_during_the_answer", "DROP? 1000", visa_connection_lost, text_pattern(1000)},
      {"reset_before_the_answer", "RESET? 0", visa_connection_lost, ""},
      {"reset_during_the_answer", "RESET? 1000", visa_connection_lost, text_pattern(1000)},
      {"stall_during_the_answer", "STALL? 1000", visa_timeout, text_pattern(1000)},
      // 40 bytes 100 ms apart take 4 s, eight times the timeout of the one read.
      {"slow_drip", "DRIP? 40 100", visa_timeout, text_pattern(40) + "\n", true},
      // Announces 999999999 bytes, sends 16 of them, then nothing.
      {"huge_block_header", "HUGEBLOCK?", visa_timeout, "#9999999999" + text_pattern(16)},
  };
  return all;
}

enum class sink { file, console };

using hostile_param = std::tuple<std::size_t, std::size_t, sink>;  // transport, fault, sink

class hostile : public kobrant_e2e, public ::testing::WithParamInterface<hostile_param> {
 protected:
  hostile() : kobrant_e2e(transports[std::get<0>(GetParam())].sim_args) {}
  const fault_case& fault() const { return faults()[std::get<1>(GetParam())]; }
  sink where() const { return std::get<2>(GetParam()); }
  bool is_serial() const { return transports[std::get<0>(GetParam())].sim_args.front() == "--serial"; }
};

// What was delivered must be what was sent before the fault: all of it, or for a trickle a
// non-empty part from its start.
::testing::AssertionResult delivered(const fault_case& fault, const std::string& got) {
  if (!fault.partial) {
    if (got == fault.received) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << first_difference(fault.received, got);
  }
  if (!got.empty() && got.size() < fault.received.size() && fault.received.starts_with(got)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected a non-empty proper start of \""
                                       << fault.received << "\", got \"" << got << "\"";
}

TEST_P(hostile, the_run_ends_in_time_with_the_fault_named_and_the_bytes_kept) {
  const auto out_file = files / "answer.bin";
  std::vector<std::string> args = {"/c=" + fault().command, "/t=" + std::to_string(timeout_ms)};
  if (where() == sink::file) args.push_back("/o=" + out_file.string());
  if (where() == sink::console) args.push_back("/l");

  const auto started = std::chrono::steady_clock::now();
  const auto result = run(args);
  const auto took = std::chrono::steady_clock::now() - started;

  EXPECT_FALSE(result.hung) << describe(result);
  EXPECT_LT(took, std::chrono::milliseconds(timeout_ms) + hang_margin);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, fault().status));
  if (where() == sink::file) {
    // A serial write waits until its bytes have left the port; an instrument that vanishes the
    // moment it has the command can take the port away before that wait sees the queue empty,
    // and the write itself fails (with the same status): then nothing was echoed.
    const bool write_failed = result.out.empty() && fault().received.empty() && is_serial();
    if (!write_failed) {
      EXPECT_EQ(result.out, echo(fault().command));
    }
    EXPECT_TRUE(delivered(fault(), read_file(out_file)));
  } else {
    EXPECT_TRUE(delivered(fault(), result.out));
  }
  const auto recorded = sim.wait_for_record(1);
  ASSERT_FALSE(recorded.empty());
  EXPECT_EQ(recorded.front().bytes, fault().command + "\n");
}

std::string param_name(const ::testing::TestParamInfo<hostile_param>& info) {
  const auto [transport, fault, where] = info.param;
  return std::string(transports[transport].name) + "_" + faults()[fault].name +
         (where == sink::file ? "_to_file" : "_to_console");
}

INSTANTIATE_TEST_SUITE_P(transports_faults_sinks, hostile,
                         ::testing::Combine(::testing::Range<std::size_t>(0, std::size(transports)),
                                            ::testing::Range<std::size_t>(0, faults().size()),
                                            ::testing::Values(sink::file, sink::console)),
                         param_name);

// The other side of the trickle: gaps shorter than the timeout are no reason to stop, and a
// response that trickles in whole within the timeout is delivered whole with success.
class trickle : public kobrant_e2e, public ::testing::WithParamInterface<std::size_t> {
 protected:
  trickle() : kobrant_e2e(transports[GetParam()].sim_args) {}
};

TEST_P(trickle, an_answer_that_trickles_in_within_the_timeout_arrives_whole) {
  const auto result = run({"/c=DRIP? 10 20", "/t=5000", "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, text_pattern(10) + "\n");
  EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(transports, trickle, ::testing::Range<std::size_t>(0, std::size(transports)),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return std::string(transports[info.param].name);
                         });

}  // namespace
}  // namespace kobrant::test
