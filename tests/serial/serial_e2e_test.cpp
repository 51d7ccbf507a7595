// kobrant against kobrant-sim serving a serial instrument on a pseudo-terminal, for what only a
// serial line shows (the runs every transport shares are in tests/e2e): the port gone after
// the device vanishes mid-answer, and the listing. Against the Windows build under wine the
// pseudo-terminal is a COM port (see tool_serial_resource). The listing looks at no network, but kobrant
// without an address lists every interface, so it runs only inside the test's private network.
#include <sys/stat.h>

#include <filesystem>
#include <sstream>

#include "e2e.h"

namespace kobrant::test {
namespace {

using serial_e2e = transport_e2e;

TEST_P(serial_e2e, after_the_device_vanishes_mid_answer_its_port_is_not_found) {
  const auto dropped = run({"/c=DROP? 1000"});
  EXPECT_EQ(dropped.status, exit_visa_failure) << describe(dropped);
  EXPECT_TRUE(is_status_line(dropped.err, visa_connection_lost));

  // The port itself is gone now, as an unplugged adapter's is. Pseudo-terminal numbers are
  // reused, and tests running beside this one make their own: when the path exists again
  // before or after the run, it names another test's port and proves nothing here.
  const std::string path = instrument().serial_device();
  struct stat info {};
  const bool reused_before = ::stat(path.c_str(), &info) == 0;
  const auto after = run({"/c=*IDN?"});
  if (reused_before || ::stat(path.c_str(), &info) == 0) {
    GTEST_SKIP() << path << " was taken by another pseudo-terminal meanwhile";
  }
  EXPECT_EQ(after.status, exit_visa_failure) << describe(after);
  EXPECT_TRUE(is_status_line(after.err, visa_not_found));
}

TEST_P(serial_e2e, the_listing_shows_only_ports_with_a_device_behind_them) {
  // What is listed depends on the machine; what may never be listed does not: virtual
  // consoles, /dev/tty, the console, ptmx and pseudo-terminals such as this test's port.
  if (!in_private_network()) {
    GTEST_SKIP() << "lists resources, which only a private network namespace keeps to this machine: "
                 << private_network_failure();
  }
  const auto result = run_kobrant({});
  EXPECT_FALSE(result.hung);
  std::istringstream lines(result.out);
  std::string line;
  if (tool_is_windows()) {
    // Windows lists the COM ports its serial-port map names, whatever is behind them: under
    // wine, the one registered for this test (linked to its pseudo-terminal) and those wine
    // made of the machine's serial devices.
    while (std::getline(lines, line)) {
      if (!line.starts_with("ASRL")) continue;
      const std::string number = line.substr(4, line.size() - 4 - 7);
      EXPECT_TRUE(line.ends_with("::INSTR") && !number.empty() &&
                  number.find_first_not_of("0123456789") == std::string::npos)
          << line;
    }
    EXPECT_NE(result.out.find(sim->resource() + "\n"), std::string::npos) << result.out;
    return;
  }
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
  EXPECT_EQ(result.out.find(sim->resource()), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(serial, serial_e2e, ::testing::Values(transport_named("serial")), transport_row_name);

}  // namespace
}  // namespace kobrant::test
