// The library under a locale whose case rules are not ASCII's: a program that loads it may have
// set one (Python sets the user's at start). In a Turkish locale 'i' and 'I' are not each other's
// case among single bytes, yet names, find expressions and serial numbers are ASCII and must
// compare as such.
#include "find_expr.h"
#include "resource_name.h"
#include "usb_devices.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cctype>
#include <clocale>
#include <cstdlib>
#include <string>

namespace kobrant::visa {
namespace {

// The process in tr_TR.UTF-8, compiled for the test by localedef; back in "C" afterwards.
class turkish_locale {
 public:
  turkish_locale() {
    const std::string command = "localedef -i tr_TR -f UTF-8 '" + (dir_ / "tr_TR.UTF-8").string() + "' >/dev/null 2>&1";
    (void)std::system(command.c_str());  // warnings make it exit 1 with the locale written
    ::setenv("LOCPATH", dir_.path().c_str(), 1);
    active_ = std::setlocale(LC_ALL, "tr_TR.UTF-8") != nullptr;
  }
  ~turkish_locale() {
    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");
  }
  bool active() const { return active_; }

 private:
  test::temp_dir dir_;
  bool active_ = false;
};

TEST(locale, names_expressions_and_serial_numbers_compare_as_ascii) {
  turkish_locale turkish;
  if (!turkish.active()) GTEST_SKIP() << "no tr_TR locale can be built here (localedef and Debian's locales)";
  // The compiler takes toupper for the "C" locale's and folds comparisons with lower-case
  // letters away; the letter is read at run time and only compared with 'I'.
  volatile char letter = 'i';
  if (std::toupper(letter) == 'I') GTEST_SKIP() << "this tr_TR upper-cases i as ASCII does";

  resource_name name;
  EXPECT_EQ(parse_resource_name("tcpip0::127.0.0.1::5025::socket", name), VI_SUCCESS);
  EXPECT_EQ(name.canonical, "TCPIP0::127.0.0.1::5025::SOCKET");
  EXPECT_EQ(parse_resource_name("asrl/dev/ttyS1::instr", name), VI_SUCCESS);

  find_expr expression;
  ASSERT_EQ(find_expr::compile("tcpip?*INSTR", expression), VI_SUCCESS);
  EXPECT_TRUE(expression.matches("TCPIP0::10.0.0.1::inst0::instr"));
  ASSERT_EQ(find_expr::compile("[i]?*", expression), VI_SUCCESS);
  EXPECT_TRUE(expression.matches("INSTR"));

  usb::tmc_interface device;
  device.device = "1-1";
  device.vendor_id = 0x1234;
  device.product_id = 0x5678;
  device.serial = "MI1";
  usb::tmc_interface found;
  std::string why;
  EXPECT_EQ(usb::pick_interface({0x1234, 0x5678, "mi1", -1}, {device}, found, why), VI_SUCCESS) << why;
}

}  // namespace
}  // namespace kobrant::visa
