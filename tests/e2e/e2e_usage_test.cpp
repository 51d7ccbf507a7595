// The command line: the usage text and listing of the no-argument form, arguments rejected
// before anything is opened, and edge values that must still be accepted.
#include <filesystem>
#include <sstream>

#include "e2e.h"

namespace kobrant::test {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(usage, no_argument_prints_the_usage_and_the_listing_and_exits_1) {
  const auto result = run_kobrant({});
  EXPECT_EQ(result.status, 1) << describe(result);
  const auto lines = lines_of(result.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "KOBRANT.EXE - A simple instrument communication utility.");

  const auto options = std::find(lines.begin(), lines.end(), "Options:");
  ASSERT_NE(options, lines.end()) << result.out;
  const std::vector<std::string> expected = {
      "   /a= - instrument address (required)",
      "   /c= - string or file containing instrument command (required, unless /r)",
      "   /t= - specify command timeout (optional)",
      "   /b= - specify buffer (optional)",
      "   /o= - specify output file (without formating) (optional)",
      "   /l - without echo or formating (optional)",
      "   /w - disable auto query (optional)",
      "   /r - force read from instrument (optional)",
  };
  ASSERT_GE(static_cast<std::size_t>(lines.end() - options), expected.size() + 1);
  EXPECT_EQ(std::vector<std::string>(options + 1, options + 1 + 8), expected);

  // The listing depends on the machine: with nothing found, one status line on stderr;
  // otherwise a heading, the names and a reminder on stdout.
  if (result.err.empty()) {
    EXPECT_NE(result.out.find("\nVISA Resource Manager: Available Instruments:\n"),
              std::string::npos)
        << result.out;
  } else {
    EXPECT_TRUE(is_status_line(result.err, visa_not_found));
    EXPECT_EQ(result.out.find("Available Instruments"), std::string::npos);
  }
}

class arguments : public kobrant_e2e {};

TEST_F(arguments, rejected_before_anything_is_opened_with_one_reason_on_standard_error) {
  const std::string address = "/a=" + sim.resource();
  const std::string missing_address = "Missing /a=: the instrument address is required";
  const std::string missing_command = "Missing /c=: a command is required unless /r is given";
  const auto missing_folder = files / "missing" / "answer.bin";
  const struct {
    std::vector<std::string> args;
    std::string reason;
  } cases[] = {
      {{"/c=*IDN?"}, missing_address},
      {{"/A=" + sim.resource(), "/c=*IDN?"}, missing_address},  // switches are case-sensitive
      {{"/c=*IDN?", "/b=x"}, missing_address},                  // the first check decides
      {{address}, missing_command},                             // neither a command nor /r
      {{address, "/C=*IDN?"}, missing_command},
      {{address, "/c=*IDN?", "/b=-1"}, "/b=-1: not a decimal number"},
      {{address, "/c=*IDN?", "/b=+5"}, "/b=+5: not a decimal number"},
      {{address, "/c=*IDN?", "/b=1k"}, "/b=1k: not a decimal number"},
      {{address, "/c=*IDN?", "/b=1 0"}, "/b=1 0: not a decimal number"},
      {{address, "/c=*IDN?", "/b=4294967296"}, "/b=4294967296: too large (at most 4294967295)"},
      {{address, "/c=*IDN?", "/b=99999999999999999999"},
       "/b=99999999999999999999: too large (at most 4294967295)"},
      {{address, "/c=*IDN?", "/t=2.5"}, "/t=2.5: not a decimal number"},
      {{address, "/c=*IDN?", "/t=4294967296"}, "/t=4294967296: too large (at most 4294967295)"},
      {{address, "/c=*IDN?", "/t=-0"}, "/t=-0: not a decimal number"},
      {{address, "/c=*IDN?", "/o=" + missing_folder.string()},
       "Cannot create the output file " + missing_folder.string() + ": No such file or directory"},
      {{address, "/c=*IDN?", "/o=" + files.path().string()},
       // Windows refuses to open a directory as a file with "access denied".
       "Cannot create the output file " + files.path().string() +
           (tool_is_windows() ? ": Permission denied" : ": Is a directory")},
      {{address, "/c=" + files.path().string()},
       "The command names a directory, not a file: " + files.path().string()},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const auto result = run_kobrant(c.args);
    EXPECT_EQ(result.status, exit_bad_argument) << describe(result);
    EXPECT_EQ(result.signed_status(), -1);
    EXPECT_EQ(result.out, "bad argument\n");
    EXPECT_EQ(result.err, c.reason + "\n");
  }
  EXPECT_FALSE(std::filesystem::exists(missing_folder.parent_path()));
  EXPECT_EQ(sim.record(), std::vector<record_entry>{});
}

TEST_F(arguments, edge_values_and_stray_words_are_accepted) {
  const std::vector<std::vector<std::string>> cases = {
      {"/b=0"},           // zero means the default buffer
      {"/b="},            // so does an empty value
      {"/t=4294967295"},  // the largest timeout: wait for ever
      {"stray", "/lx"},   // not switches: ignored
      {"/W", "-l", "/lw", "--help"},
      {"/a=TCPIP0::127.0.0.1::1::SOCKET", "/a=" + sim.resource()},  // the last one counts
  };
  for (const auto& extra : cases) {
    SCOPED_TRACE(extra.front());
    std::vector<std::string> args = {"/c=*IDN?"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto result = run(args);
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, echo("*IDN?") + answer(identification));
    EXPECT_EQ(result.err, "");
  }
}

}  // namespace
}  // namespace kobrant::test
