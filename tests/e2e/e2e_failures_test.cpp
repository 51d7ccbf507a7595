// Failures over a raw socket (those every transport shares are in e2e_transports_test.cpp): a
// stall shown on the console, an address that cannot be parsed, an output file that cannot be
// created or written, a buffer that cannot be had. Each ends with one status line and its own exit status.
#include <filesystem>

#include "e2e.h"

namespace kobrant::test {
namespace {

using failures = kobrant_e2e;

TEST_F(failures, a_stall_mid_answer_keeps_the_bytes_on_the_console) {
  const auto result = run({"/c=STALL? 10", "/t=300"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_EQ(result.out, echo("STALL? 10") + answer("ABCDEFGHIJ"));
  EXPECT_TRUE(is_status_line(result.err, visa_timeout));
}

TEST_F(failures, a_malformed_address_is_an_invalid_resource_name) {
  for (const std::string address :
       {"TCPIP0::127.0.0.1::notaport::SOCKET", "TCPIP0::127.0.0.1::99999::SOCKET",
        "TCPIP0::::5025::SOCKET"}) {
    SCOPED_TRACE(address);
    const auto result = run_kobrant({"/a=" + address, "/c=*IDN?"});
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(is_status_line(result.err, visa_bad_name));
  }
}

TEST_F(failures, an_output_file_in_a_missing_folder_is_a_bad_argument_and_nothing_is_sent) {
  const auto out_file = files / "missing" / "answer.bin";
  const auto result = run({"/c=*IDN?", "/o=" + out_file.string()});
  EXPECT_EQ(result.status, exit_bad_argument) << describe(result);
  EXPECT_EQ(result.signed_status(), -1);
  EXPECT_EQ(result.out, "bad argument\n");
  EXPECT_FALSE(std::filesystem::exists(out_file));
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

TEST_F(failures, an_output_file_that_cannot_be_written_is_reported) {
  // /dev/full opens but refuses every write: the answer is lost, and that must not pass as
  // success.
  const auto result = run({"/c=*IDN?", "/o=/dev/full"});
  EXPECT_NE(result.status, 0) << describe(result);
  EXPECT_FALSE(result.err.empty()) << "the lost answer went unreported";
  EXPECT_FALSE(result.hung);
}

TEST_F(failures, a_buffer_the_machine_cannot_give_fails_the_run_before_anything_is_sent) {
  // An address-space limit makes a 4 GiB buffer impossible on any machine; a sanitizer's
  // allocator needs the address space itself and is capped its own way instead.
  const std::string limit = address_sanitized
                                ? "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024 exec"
                                : "ulimit -v 2097152 && exec";
  const auto limited = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", limit + " \"$0\" \"$@\"", kobrant_path(), address()});
    return run_process("/bin/sh", args);
  };
  // The same limit leaves an ordinary run alone.
  const auto ordinary = limited({"/c=*IDN?"});
  ASSERT_EQ(ordinary.status, 0) << describe(ordinary);
  ASSERT_EQ(sim.wait_for_record(1).size(), 1u);

  for (const auto& args : std::vector<std::vector<std::string>>{{"/c=*IDN?", "/b=4294967295"},
                                                                 {"/r", "/b=4294967295"}}) {
    SCOPED_TRACE(args.front());
    const auto result = limited(args);
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.out, "") << "the command went out";
    // The sanitizer's allocator warns about the refusal in a line of its own first.
    const auto report = result.err.starts_with("==") ? result.err.substr(result.err.find('\n') + 1) : result.err;
    EXPECT_TRUE(is_status_line(report, visa_alloc));
  }
  EXPECT_EQ(sim.record().size(), 1u) << "the instrument was asked with no room for its answer";
}

}  // namespace
}  // namespace kobrant::test
