// Which system the kobrant under test was built for, and what the tests expect differently
// there. The end-to-end suite also runs against the Windows build: scripts/windows sets
// KOBRANT_TEST_TOOL to a script that runs kobrant.exe under wine and KOBRANT_TEST_TOOL_SYSTEM
// to "windows". A case whose expectation differs there says so through these, in the case
// itself, never by skipping.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

namespace kobrant::test {

inline bool tool_is_windows() {
  const char* system = std::getenv("KOBRANT_TEST_TOOL_SYSTEM");
  return system != nullptr && std::string_view(system) == "windows";
}

// The tool's console output (standard output and error) as a Linux build writes it. On
// Windows both stay in text mode, as Windows programs' do: every LF goes out as CR LF. The
// harness undoes that here, once, so every case compares the same text on both systems; an LF
// without its CR is a fault of the Windows build and fails the case calling this.
std::string from_console_text(std::string_view text);

// The resource the tool under test names a serial instrument by, given the simulator's
// (ASRL<pseudo-terminal path>::INSTR). Under wine (scripts/wine-session) the Windows build
// opens ASRLn::INSTR as COMn, which wine maps to whatever the prefix's dosdevices/comn links
// to, and the session registered port n for the listing (KOBRANT_TEST_COM): the link is
// pointed at this pseudo-terminal, and the resource is ASRLn::INSTR. Otherwise, and for any
// other resource, the simulator's own. Throws std::runtime_error when the link cannot be made.
std::string tool_serial_resource(const std::string& resource);

}  // namespace kobrant::test
