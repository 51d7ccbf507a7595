// kobrant against a hostile VXI-11 instrument, in a network namespace of the test's own (the
// port mapper's port 111): the instrument's faults of the other transports' table (dropped or
// reset before and during an answer, a stall, a trickle slower than the timeout, a huge block
// header), and a server whose framing breaks half-way through an answer (bytes that are no
// record mark and reply, a record mark announcing 2^31 - 1 bytes) or whose handshake never
// completes (GETPORT or create_link unanswered). Each run must end within its timeout plus a
// generous margin with exit status -2 and the status line that names the fault, and with every
// byte that arrived before the fault in the /o= file.
#include <chrono>
#include <ostream>
#include <optional>

#include "e2e_hostile.h"
#include "private_network.h"

namespace kobrant::test {
namespace {

// A simulator serving VXI-11 with extra options, or a skip where no namespace can be had.
class vxi11_hostile_base : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra) {
    if (!in_private_network()) {
      GTEST_SKIP() << "needs a private network namespace to serve port 111 (run as root): "
                   << private_network_failure();
    }
    std::vector<std::string> args = {"--vxi11", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    sim.emplace(args);
  }

  struct timed_result {
    process_result result;
    std::chrono::steady_clock::duration took;
  };
  timed_result run(std::vector<std::string> args) const {
    args.insert(args.begin(), "/a=" + sim->resource());
    const auto started = std::chrono::steady_clock::now();
    auto result = run_kobrant(args);
    return {std::move(result), std::chrono::steady_clock::now() - started};
  }
  std::string echo(std::string_view text) const { return sim->resource() + " <- " + std::string(text) + "\n"; }

  std::optional<simulator> sim;
  temp_dir files;
};

class vxi11_hostile : public vxi11_hostile_base, public ::testing::WithParamInterface<std::size_t> {
 protected:
  void SetUp() override { start({}); }
  static const fault_case& fault() { return instrument_faults()[GetParam()]; }
};

TEST_P(vxi11_hostile, the_run_ends_in_time_with_the_fault_named_and_the_bytes_kept) {
  const auto out_file = files / "answer.bin";
  const auto [result, took] =
      run({"/c=" + fault().command, "/t=" + std::to_string(hostile_timeout_ms), "/o=" + out_file.string()});
  EXPECT_FALSE(result.hung) << describe(result);
  EXPECT_LT(took, std::chrono::milliseconds(hostile_timeout_ms) + hang_margin);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, fault().status));
  EXPECT_EQ(result.out, echo(fault().command));
  EXPECT_TRUE(delivered(fault(), read_file(out_file)));
  EXPECT_EQ(wait_for_messages(*sim, "VXI11"), (std::vector<record_entry>{{"VXI11", true, fault().command}}));
}

INSTANTIATE_TEST_SUITE_P(faults, vxi11_hostile, ::testing::Range<std::size_t>(0, instrument_faults().size()),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                           return std::string(instrument_faults()[info.param].name);
                         });

struct framing_case {
  const char* mode;
  int status;
  std::string received;
  bool in_handshake;  // the run fails while opening: nothing is sent, kobrant's open timeout rules
};
void PrintTo(const framing_case& c, std::ostream* out) { *out << c.mode; }

class vxi11_framing : public vxi11_hostile_base, public ::testing::WithParamInterface<framing_case> {
 protected:
  void SetUp() override { start({"--hostile", GetParam().mode}); }
};

TEST_P(vxi11_framing, the_run_ends_in_time_with_the_fault_named_and_the_bytes_kept) {
  const auto out_file = files / "answer.bin";
  const auto [result, took] =
      run({"/c=TEXT? 100", "/t=" + std::to_string(hostile_timeout_ms), "/o=" + out_file.string()});
  EXPECT_FALSE(result.hung) << describe(result);
  EXPECT_LT(took, (GetParam().in_handshake ? open_timeout : std::chrono::milliseconds(hostile_timeout_ms)) + hang_margin);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, GetParam().status));
  EXPECT_EQ(result.out, GetParam().in_handshake ? "" : echo("TEXT? 100"));
  EXPECT_EQ(read_file(out_file), GetParam().received);
}

// The answer to "TEXT? 100" is 101 bytes; the first reply brings 50 of them. Garbage in place
// of the next reply is a malformed reply. A record mark announcing 2^31 - 1 bytes before an
// otherwise whole reply delivers that reply's bytes, then waits for a rest that never comes.
INSTANTIATE_TEST_SUITE_P(
    modes, vxi11_framing,
    ::testing::Values(framing_case{"garbage-header", visa_io_error, text_pattern(50), false},
                      framing_case{"huge-length", visa_timeout, text_pattern(100) + "\n", false},
                      framing_case{"mute-handshake", visa_timeout, "", true},
                      framing_case{"mute-link", visa_timeout, "", true}),
    [](const ::testing::TestParamInfo<framing_case>& info) {
      std::string name = info.param.mode;
      for (char& c : name) c = c == '-' ? '_' : c;
      return name;
    });

}  // namespace
}  // namespace kobrant::test
