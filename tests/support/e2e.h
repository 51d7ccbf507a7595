// Shared pieces of the kobrant end-to-end tests: the VISA statuses kobrant reports, fixtures
// with a fresh simulator and scratch directory per test (one transport, or a row of the
// transport table), and builders for expected output.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "patterns.h"
#include "process.h"
#include "simulator.h"
#include "temp_dir.h"
#include "tool_platform.h"
#include "transports.h"

namespace kobrant::test {

inline constexpr int visa_timeout = -1073807339;
inline constexpr int visa_not_found = -1073807343;
inline constexpr int visa_bad_name = -1073807342;
inline constexpr int visa_connection_lost = -1073807194;
inline constexpr int visa_alloc = -1073807300;

inline constexpr int exit_bad_argument = 255;  // -1
inline constexpr int exit_visa_failure = 254;  // -2

inline constexpr std::size_t default_buffer = 204810;

// stderr holds exactly one status line for this status, with some description.
inline ::testing::AssertionResult is_status_line(const std::string& err, int status) {
  const std::string prefix = "VISA Status (" + std::to_string(status) + "): ";
  if (err.starts_with(prefix) && err.size() > prefix.size() + 1 && err.ends_with("\n") &&
      err.find('\n') == err.size() - 1) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected one line \"" << prefix << "...\", got \""
                                       << err << "\"";
}

// Splits bytes into pieces of at most size bytes, as kobrant's buffer-sized writes and reads.
inline std::vector<std::string> pieces(std::string_view bytes, std::size_t size) {
  std::vector<std::string> out;
  for (std::size_t at = 0; at < bytes.size(); at += size) {
    out.emplace_back(bytes.substr(at, size));
  }
  return out;
}

// kobrant runs against one simulator, for any fixture that starts one: the address to pass,
// and the console lines a run prints for what it sends and reads.
template <class Base>
class e2e_runs : public Base {
 protected:
  virtual const simulator& instrument() const = 0;

  std::string address() const { return "/a=" + instrument().resource(); }

  // kobrant with /a= of this test's simulator first.
  process_result run(std::vector<std::string> args, std::string_view input = {}) const {
    args.insert(args.begin(), address());
    return run_kobrant(args, input);
  }

  // "<resource> <- <text>\n" for each piece sent.
  std::string echo(std::string_view text) const {
    return instrument().resource() + " <- " + std::string(text) + "\n";
  }
  std::string echo_pieces(std::string_view text, std::size_t size) const {
    std::string out;
    for (const auto& p : pieces(text, size)) out += echo(p);
    return out;
  }
  // "<resource> -> <text up to its first zero byte>\n" for each piece read.
  std::string answer(std::string_view piece) const {
    return instrument().resource() + " -> " + std::string(piece.substr(0, piece.find('\0'))) + "\n";
  }
  std::string answer_pieces(std::string_view response, std::size_t size) const {
    std::string out;
    for (const auto& p : pieces(response, size)) out += answer(p);
    return out;
  }

  temp_dir files;
};

// A fresh simulator (socket unless told otherwise) and scratch directory per test.
class kobrant_e2e : public e2e_runs<::testing::Test> {
 protected:
  explicit kobrant_e2e(std::vector<std::string> sim_args = {}) : sim(std::move(sim_args)) {}
  const simulator& instrument() const override { return sim; }

  simulator sim;
};

// The same over one row of the transport table: the simulator starts in SetUp, after the
// check that the row can run here at all.
class transport_e2e : public e2e_runs<::testing::TestWithParam<transport_row>> {
 protected:
  explicit transport_e2e(std::vector<std::string> extra_sim_args = {}) : extra_(std::move(extra_sim_args)) {}
  void SetUp() override {
    SKIP_WITHOUT_NETWORK_FOR(GetParam());
    auto args = GetParam().sim_args;
    args.insert(args.end(), extra_.begin(), extra_.end());
    sim.emplace(args);
  }
  const simulator& instrument() const override { return *sim; }
  const transport_row& row() const { return GetParam(); }
  std::vector<record_entry> messages() const { return data_messages(row(), sim->record()); }

  std::optional<simulator> sim;

 private:
  std::vector<std::string> extra_;
};

}  // namespace kobrant::test
