// kobrant against kobrant-sim serving a serial instrument on a pseudo-terminal: queries,
// blocks holding newlines and zero bytes into /o=, commands in pieces, silence and stalls
// followed by further runs on the same port, the device vanishing mid-answer, and the listing.
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "e2e.h"

namespace kobrant::test {
namespace {

class serial_e2e : public kobrant_e2e {
 protected:
  serial_e2e() : kobrant_e2e({"--serial"}) {}
};

TEST_F(serial_e2e, a_query_prints_the_answer_and_the_instrument_gets_one_message) {
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(identification));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SERIAL", false, "*IDN?\n"}}));
}

TEST_F(serial_e2e, blocks_with_newlines_and_zero_bytes_land_in_the_file_byte_for_byte) {
  for (const std::size_t n : {0u, 600u, 2'000'000u}) {
    SCOPED_TRACE("BLOCK? " + std::to_string(n));
    const auto out_file = files / "block.bin";
    const auto result = run({"/c=BLOCK? " + std::to_string(n), "/o=" + out_file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    const std::string expected = block_answer(n);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
  // Small buffers cut the block everywhere, newlines and zero bytes included.
  const std::string expected = block_answer(600);
  for (const std::size_t size : {1u, 3u, 7u}) {
    SCOPED_TRACE("/b=" + std::to_string(size));
    const auto out_file = files / ("block" + std::to_string(size) + ".bin");
    const auto result = run({"/c=BLOCK? 600", "/b=" + std::to_string(size), "/o=" + out_file.string(), "/l"});
    ASSERT_EQ(result.status, 0) << describe(result);
    const std::string got = read_file(out_file);
    EXPECT_EQ(got, expected) << first_difference(expected, got);
  }
}

TEST_F(serial_e2e, a_command_longer_than_the_buffer_goes_in_pieces_and_arrives_as_one_message) {
  const std::string command = "ECHO? " + text_pattern(100);
  const auto result = run({"/b=16", "/c=" + command, "/l"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, text_pattern(100) + "\n");
  EXPECT_EQ(sim.record(), (std::vector<record_entry>{{"SERIAL", false, command + "\n"}}));
}

TEST_F(serial_e2e, silence_times_out_and_the_port_still_answers_the_next_run) {
  const auto silent = run({"/c=SILENT?", "/t=300"});
  EXPECT_EQ(silent.status, exit_visa_failure) << describe(silent);
  EXPECT_EQ(silent.out, echo("SILENT?"));
  EXPECT_TRUE(is_status_line(silent.err, visa_timeout));

  const auto next = run({"/c=*IDN?"});
  ASSERT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, echo("*IDN?") + answer(identification));
}

TEST_F(serial_e2e, a_stall_keeps_the_bytes_and_the_next_run_finds_the_instrument_afresh) {
  const auto out_file = files / "stalled.bin";
  const auto stalled = run({"/c=STALL? 1000", "/t=300", "/o=" + out_file.string()});
  EXPECT_EQ(stalled.status, exit_visa_failure) << describe(stalled);
  EXPECT_TRUE(is_status_line(stalled.err, visa_timeout));
  EXPECT_EQ(read_file(out_file), text_pattern(1000));

  // A stalled instrument on a socket is left behind with its connection; on a serial line the
  // next program opening the port must not inherit it.
  const auto next = run({"/c=*IDN?"});
  ASSERT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, echo("*IDN?") + answer(identification));
}

TEST_F(serial_e2e, the_device_vanishing_mid_answer_is_connection_lost_and_keeps_the_bytes) {
  const auto out_file = files / "dropped.bin";
  const auto dropped = run({"/c=DROP? 1000", "/o=" + out_file.string()});
  EXPECT_EQ(dropped.status, exit_visa_failure) << describe(dropped);
  EXPECT_EQ(dropped.out, echo("DROP? 1000"));
  EXPECT_TRUE(is_status_line(dropped.err, visa_connection_lost));
  const std::string got = read_file(out_file);
  EXPECT_EQ(got, text_pattern(1000)) << first_difference(text_pattern(1000), got);

  // The port itself is gone now, as an unplugged adapter's is.
  const auto after = run({"/c=*IDN?"});
  EXPECT_EQ(after.status, exit_visa_failure) << describe(after);
  EXPECT_TRUE(is_status_line(after.err, visa_not_found));
}

TEST_F(serial_e2e, the_listing_shows_only_ports_with_a_device_behind_them) {
  // What is listed depends on the machine; what may never be listed does not: virtual
  // consoles, /dev/tty, the console, ptmx and pseudo-terminals such as this test's port.
  const auto result = run_kobrant({});
  EXPECT_FALSE(result.hung);
  std::istringstream lines(result.out);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.starts_with("ASRL")) continue;
    ASSERT_TRUE(line.starts_with("ASRL/dev/") && line.ends_with("::INSTR")) << line;
    const std::string path = line.substr(4, line.size() - 4 - 7);
    const std::string name = path.substr(5);
    const bool virtual_console =
        name.starts_with("tty") && name.find_first_not_of("0123456789", 3) == std::string::npos;
    EXPECT_FALSE(virtual_console || name == "console" || name == "ptmx" || name.starts_with("pts/")) << path;
    struct stat info{};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    EXPECT_TRUE(S_ISCHR(info.st_mode)) << path;
  }
  EXPECT_EQ(result.out.find(sim.resource()), std::string::npos);
}

}  // namespace
}  // namespace kobrant::test
