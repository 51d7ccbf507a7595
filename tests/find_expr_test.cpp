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

}  // namespace
}  // namespace kobrant::visa
