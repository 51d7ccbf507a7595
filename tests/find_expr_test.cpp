// Find expressions: the VISA regular-expression language over whole names, ignoring case.
#include "find_expr.h"

#include <gtest/gtest.h>

#include <string>

namespace kobrant::visa {
namespace {

bool match(const char* expr, const char* name) {
  find_expr e;
  EXPECT_EQ(find_expr::compile(expr, e), VI_SUCCESS) << expr;
  return e.matches(name);
}

TEST(find_expr, common_searches) {
  EXPECT_TRUE(match("?*", "ASRL1::INSTR"));
  EXPECT_TRUE(match("?*", "x"));
  EXPECT_TRUE(match("?*INSTR", "TCPIP0::1.2.3.4::inst0::INSTR"));
  EXPECT_FALSE(match("?*INSTR", "TCPIP0::1.2.3.4::5025::SOCKET"));
  EXPECT_TRUE(match("asrl?*instr", "ASRL/dev/ttyUSB0::INSTR")) << "case is ignored";
  EXPECT_TRUE(match("GPIB?*INSTR", "GPIB0::2::INSTR"));
  EXPECT_TRUE(match("GPIB?*INSTR", "GPIB-VXI0::2::INSTR"));
  EXPECT_FALSE(match("GPIB", "GPIB0::2::INSTR")) << "the whole name must match";
}

TEST(find_expr, operators) {
  EXPECT_TRUE(match("ASRL[0-9]::INSTR", "ASRL7::INSTR"));
  EXPECT_FALSE(match("ASRL[0-9]::INSTR", "ASRL10::INSTR"));
  EXPECT_TRUE(match("ASRL[0-9]+::INSTR", "ASRL10::INSTR"));
  EXPECT_FALSE(match("ASRL[^0-9]?*", "ASRL1::INSTR"));
  EXPECT_TRUE(match("(GPIB|ASRL)?*", "ASRL1::INSTR"));
  EXPECT_TRUE(match("GPIB?*|ASRL?*", "GPIB0::1::INSTR"));
  EXPECT_FALSE(match("GPIB?*|ASRL?*", "USB0::1::2::3::INSTR"));
  EXPECT_TRUE(match("A(BC)*D", "ABCBCD"));
  EXPECT_TRUE(match("A(BC)*D", "AD"));
  EXPECT_FALSE(match("A(BC)+D", "AD"));
  EXPECT_TRUE(match("a\\?b", "a?b"));
  EXPECT_FALSE(match("a\\?b", "axb"));
  EXPECT_TRUE(match("a()b", "ab"));
}

TEST(find_expr, malformed_and_unsupported) {
  find_expr e;
  for (const char* bad : {"", "(", "a)", "[", "[]", "[z-a]", "*a", "a\\", "((a)", "+"})
    EXPECT_EQ(find_expr::compile(bad, e), VI_ERROR_INV_EXPR) << bad;
  EXPECT_EQ(find_expr::compile("USB?*{VI_ATTR_MANF_ID==0x0957}", e), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(find_expr::compile(std::string(100, '(') + std::string(100, ')'), e), VI_ERROR_INV_EXPR)
      << "nesting is bounded";
}

TEST(find_expr, pathological_expression_stays_fast) {
  // Backtracking matchers take exponential time here; the automaton is linear.
  find_expr e;
  ASSERT_EQ(find_expr::compile("(a*)*(a*)*(a*)*(a*)*b", e), VI_SUCCESS);
  EXPECT_FALSE(e.matches(std::string(200, 'a')));
}


// An attribute filter is not evaluated, but its syntax is checked: a broken one is a malformed
// expression, and only a well-formed one is reported as unsupported.
TEST(find_expr, attribute_filters_are_checked_before_being_declined) {
  struct row {
    const char* expr;
    ViStatus want;
  };
  const row rows[] = {
      {"?*{", VI_ERROR_INV_EXPR},
      {"?*{}", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_MANF_ID==0x0957", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_MANF_ID==}", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_MANF_ID=0x0957}", VI_ERROR_INV_EXPR},
      {"?*{MANF_ID==1}", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_A==1 &&}", VI_ERROR_INV_EXPR},
      {"?*{(VI_ATTR_A==1}", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_A==1}x", VI_ERROR_INV_EXPR},
      {"?*{VI_ATTR_A==\"open}", VI_ERROR_INV_EXPR},
      {"({VI_ATTR_A==1}", VI_ERROR_INV_EXPR},  // the pattern itself is broken
      {"{VI_ATTR_A==1}", VI_ERROR_INV_EXPR},   // no pattern at all
      {"USB?*{VI_ATTR_MANF_ID==0x0957}", VI_ERROR_NSUP_OPER},
      {"?*{ VI_ATTR_INTF_NUM >= 1 && !(VI_ATTR_SLOT != -2) || VI_ATTR_X<3 }", VI_ERROR_NSUP_OPER},
      {"?*{VI_ATTR_USB_SERIAL_NUM==\"MY1234\"}", VI_ERROR_NSUP_OPER},
      {"a\\{b", VI_SUCCESS},  // an escaped brace is a character of the name
  };
  for (const row& r : rows) {
    find_expr e;
    EXPECT_EQ(find_expr::compile(r.expr, e), r.want) << r.expr;
  }
  EXPECT_TRUE(match("a\\{b", "A{B"));
}

TEST(find_expr, long_expressions_match_up_to_a_bound) {
  // An alternation of many whole names, far beyond a thousand characters.
  std::string expr;
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on a literal + std::string.
  for (int i = 0; i < 400; ++i) {
    if (i) expr += '|';
    expr += "TCPIP0::10.0.";
    expr += std::to_string(i);
    expr += "::INSTR";
  }
  ASSERT_GT(expr.size(), 8000u);
  EXPECT_TRUE(match(expr.c_str(), "TCPIP0::10.0.399::INSTR"));
  EXPECT_TRUE(match(expr.c_str(), "tcpip0::10.0.7::instr"));
  EXPECT_FALSE(match(expr.c_str(), "TCPIP0::10.0.400::INSTR"));

  find_expr e;
  EXPECT_EQ(find_expr::compile(std::string(64 * 1024, 'a'), e), VI_SUCCESS);
  EXPECT_TRUE(e.matches(std::string(64 * 1024, 'A')));
  EXPECT_EQ(find_expr::compile(std::string(64 * 1024 + 1, 'a'), e), VI_ERROR_INV_EXPR) << "the bound holds";
}

// Whether a search could match a LAN name decides whether discovery sends anything at all.
TEST(find_expr, whether_some_name_with_a_prefix_could_match) {
  const struct {
    const char* expr;
    bool could;
  } cases[] = {{"?*", true},          {"?*INSTR", true},        {"TCPIP?*", true},   {"tcpip0::?*", true},
               {"USB?*|TCPIP?*", true}, {"(ASRL|TCPIP)?*", true}, {"TCPIP0", false},  {"ASRL?*INSTR", false},
               {"GPIB?*", false},     {"TCPIP1::?*", false},    {"[^T]?*", false}};
  for (const auto& c : cases) {
    find_expr e;
    ASSERT_EQ(find_expr::compile(c.expr, e), VI_SUCCESS) << c.expr;
    EXPECT_EQ(e.may_match_name_starting("TCPIP0::"), c.could) << c.expr;
  }
}

}  // namespace
}  // namespace kobrant::visa
