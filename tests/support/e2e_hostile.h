// What the hostile-instrument tests of every transport share: the instrument's faults (the
// answers kobrant-sim gives to STALL?, DROP?, RESET?, DRIP? and HUGEBLOCK?), what a run must
// have delivered when one strikes, and the bound past which a run counts as hung.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "e2e.h"

namespace kobrant::test {

inline constexpr int visa_io_error = -1073807298;
inline constexpr int visa_read_protocol_violation = -1073807307;

// The runs' I/O timeout, and how far past the time a run may take it may end before it
// counts as hung: a bound that catches a hang, not a measurement.
inline constexpr int hostile_timeout_ms = 500;
inline constexpr auto hang_margin = std::chrono::seconds(10);
// kobrant opens with a fixed timeout of its own, whatever /t= says.
inline constexpr auto open_timeout = std::chrono::milliseconds(5000);

struct fault_case {
  const char* name;
  std::string command;
  int status;            // the VISA status the run must end with
  std::string received;  // what the instrument sent before the fault
  // The answer trickles in: only some of it can arrive in time, so a non-empty part from its
  // start is what must be delivered.
  bool partial = false;
};

// The instrument's own faults, the same on every transport.
inline const std::vector<fault_case>& instrument_faults() {
  static const std::vector<fault_case> all = {
      {"drop_before_the_answer", "DROP? 0", visa_connection_lost, ""},
      {"drop_during_the_answer", "DROP? 1000", visa_connection_lost, text_pattern(1000)},
      {"reset_before_the_answer", "RESET? 0", visa_connection_lost, ""},
      {"reset_during_the_answer", "RESET? 1000", visa_connection_lost, text_pattern(1000)},
      {"stall_during_the_answer", "STALL? 1000", visa_timeout, text_pattern(1000)},
      // Stops after more than one buffer of answer: the read after the full buffer must still
      // wait out the timeout, and every byte stays.
      {"stall_after_a_stream", "STALL? 300000", visa_timeout, text_pattern(300000)},
      // 40 bytes 100 ms apart take 4 s, eight times the timeout of the one read.
      {"slow_drip", "DRIP? 40 100", visa_timeout, text_pattern(40) + "\n", true},
      // Announces 999999999 bytes, sends 16 of them, then nothing.
      {"huge_block_header", "HUGEBLOCK?", visa_timeout, "#9999999999" + text_pattern(16)},
  };
  return all;
}

// What was delivered must be what was sent before the fault: all of it, or for a trickle a
// non-empty part from its start.
inline ::testing::AssertionResult delivered(const fault_case& fault, const std::string& got) {
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

}  // namespace kobrant::test
