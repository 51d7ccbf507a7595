// Option scanning and the numeric checks.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct parsed {
  run_options options;
  bool accepted;
  std::string reason;  // why it was refused
};

parsed parse(std::vector<std::string> args) {
  static std::vector<std::string> storage;  // options point into the argument texts
  storage = std::move(args);
  storage.insert(storage.begin(), "kobrant");
  std::vector<char*> argv;
  for (auto& a : storage) argv.push_back(a.data());
  run_options options = parse_options(static_cast<int>(argv.size()), argv.data());
  std::string reason;
  bool accepted = check_options(options, &reason);
  return {options, accepted, reason};
}

TEST(options, defaults_apply_when_switches_are_absent) {
  auto p = parse({"/a=GPIB0::1::INSTR", "/c=*IDN?"});
  ASSERT_TRUE(p.accepted);
  EXPECT_STREQ(p.options.address, "GPIB0::1::INSTR");
  EXPECT_STREQ(p.options.command, "*IDN?");
  EXPECT_EQ(p.options.buffer_size, 204810u);
  EXPECT_EQ(p.options.timeout_ms, 5000u);
  EXPECT_FALSE(p.options.no_echo || p.options.force_read || p.options.no_auto_query);
  EXPECT_EQ(p.options.output_path, nullptr);
}

TEST(options, required_switches_and_their_alternatives) {
  EXPECT_FALSE(parse({"/a=X"}).accepted) << "neither a command nor /r";
  EXPECT_TRUE(parse({"/a=X", "/r"}).accepted);
  EXPECT_FALSE(parse({"/c=*IDN?"}).accepted) << "no address";
  EXPECT_FALSE(parse({"/A=X", "/c=*IDN?"}).accepted) << "switches are case-sensitive";
  EXPECT_TRUE(parse({"/a=X", "/c="}).accepted) << "an empty command is a command";
  EXPECT_TRUE(parse({"/a=", "/c=x"}).accepted) << "an empty address is present";
}

TEST(options, flags_match_only_exactly) {
  auto p = parse({"/a=X", "/c=y", "/lx", "/rw", "/w "});
  EXPECT_FALSE(p.options.no_echo || p.options.force_read || p.options.no_auto_query);
  p = parse({"/a=X", "/c=y", "/l", "/r", "/w"});
  EXPECT_TRUE(p.options.no_echo && p.options.force_read && p.options.no_auto_query);
}

TEST(options, last_occurrence_wins_and_strangers_are_ignored) {
  auto p = parse({"bare", "/a=X", "/zz=1", "/c=1", "/a=Y", "/c=2", "/b=10", "/b=20"});
  ASSERT_TRUE(p.accepted);
  EXPECT_STREQ(p.options.address, "Y");
  EXPECT_STREQ(p.options.command, "2");
  EXPECT_EQ(p.options.buffer_size, 20u);
}

TEST(options, value_is_everything_after_the_switch) {
  auto p = parse({"/a=TCPIP0::h::5025::SOCKET", "/c=MEAS:VOLT? 1=2", "/o=a=b"});
  EXPECT_STREQ(p.options.command, "MEAS:VOLT? 1=2");
  EXPECT_STREQ(p.options.output_path, "a=b");
}

TEST(options, buffer_values) {
  struct { const char* text; bool accepted; std::uint32_t size; } cases[] = {
      {"/b=0", true, 204810},         {"/b=", true, 204810},
      {"/b=1", true, 1},              {"/b=007", true, 7},
      {"/b=4294967295", true, 4294967295u},
      {"/b=4294967296", false, 0},    {"/b=99999999999999999999", false, 0},
      {"/b=-1", false, 0},            {"/b=1k", false, 0},
      {"/b=+5", false, 0},            {"/b=1 2", false, 0},
      {"/b=2.5", false, 0},
      // Digits of other scripts (full-width one, Arabic-Indic one, superscript one, in UTF-8)
      // are not decimal digits here, whatever a code page would map them to.
      {"/b=\xef\xbc\x91", false, 0}, {"/b=\xd9\xa1", false, 0},
      {"/b=\xc2\xb9", false, 0},
  };
  for (const auto& c : cases) {
    auto p = parse({"/a=X", "/c=y", c.text});
    EXPECT_EQ(p.accepted, c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(p.options.buffer_size, c.size) << c.text;
    }
  }
}

TEST(options, timeout_values) {
  struct { const char* text; bool accepted; std::uint32_t ms; } cases[] = {
      {"/t=0", true, 0},     {"/t=", true, 0},  {"/t=2000", true, 2000},
      {"/t=4294967295", true, 4294967295u},     {"/t=4294967296", false, 0},
      {"/t=2.5", false, 0},  {"/t=-1", false, 0}, {"/t=1s", false, 0},
  };
  for (const auto& c : cases) {
    auto p = parse({"/a=X", "/c=y", c.text});
    EXPECT_EQ(p.accepted, c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(p.options.timeout_ms, c.ms) << c.text;
    }
  }
  EXPECT_FALSE(parse({"/a=X", "/c=y", "/b=x", "/t=5"}).accepted) << "one bad number rejects the run";
}

TEST(options, a_refusal_names_the_first_fault) {
  // The checks run in a fixed order: address, command, then the numbers, /b= before /t=.
  struct { std::vector<std::string> args; const char* reason; } cases[] = {
      {{"/c=y", "/b=x"}, "Missing /a=: the instrument address is required"},
      {{"/a=X", "/t=x"}, "Missing /c=: a command is required unless /r is given"},
      {{"/a=X", "/c=y", "/t=1s", "/b=1k"}, "/b=1k: not a decimal number"},
      {{"/a=X", "/c=y", "/t=1s"}, "/t=1s: not a decimal number"},
      {{"/a=X", "/c=y", "/b=4294967296"}, "/b=4294967296: too large (at most 4294967295)"},
      {{"/a=X", "/r", "/t=00000000004294967296"}, "/t=00000000004294967296: too large (at most 4294967295)"},
  };
  for (const auto& c : cases) {
    const auto p = parse(c.args);
    EXPECT_FALSE(p.accepted) << c.reason;
    EXPECT_EQ(p.reason, c.reason);
  }
}

}  // namespace
