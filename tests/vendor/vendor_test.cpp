// Pass-through to an installed VISA: with a stand-in vendor library on the loader's search path,
// every call of a run and of the listing goes to it, arguments as the tool passes them; without
// it, the built-in library answers.
#include "process.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace kobrant::test {
namespace {

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class vendor_visa : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("LD_LIBRARY_PATH", STANDIN_VISA_DIR, 1);
    ::setenv("STANDIN_VISA_LOG", log.c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("LD_LIBRARY_PATH");
    ::unsetenv("STANDIN_VISA_LOG");
  }
  temp_dir dir;
  std::string log = (dir.path() / "calls.log").string();
};

TEST_F(vendor_visa, a_query_goes_to_the_installed_library) {
  auto r = run_kobrant({"/a=STANDIN0::1::INSTR", "/c=*IDN?", "/t=1234"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(r.out, "STANDIN0::1::INSTR <- *IDN?\nSTANDIN0::1::INSTR -> STANDIN,MODEL-7,0,2.0\n\n");
  EXPECT_EQ(read_all(log),
            "viOpenDefaultRM\n"
            "viOpen 100 STANDIN0::1::INSTR 0 5000\n"
            "viSetAttribute 300 0x3FFF001A 1234\n"
            "viWrite 300 end=1 *IDN?\n"
            "viRead 300 204810\n"
            "viClose 100\n");
}

TEST_F(vendor_visa, chunked_writes_set_end_through_the_installed_library) {
  auto r = run_kobrant({"/a=STANDIN0::1::INSTR", "/c=ABCDEFGHIJ", "/b=4", "/l"});
  ASSERT_EQ(r.status, 0) << describe(r);
  EXPECT_EQ(read_all(log),
            "viOpenDefaultRM\n"
            "viOpen 100 STANDIN0::1::INSTR 0 5000\n"
            "viSetAttribute 300 0x3FFF001A 5000\n"
            "viSetAttribute 300 0x3FFF0016 0\n"
            "viWrite 300 end=0 ABCD\n"
            "viWrite 300 end=0 EFGH\n"
            "viSetAttribute 300 0x3FFF0016 1\n"
            "viWrite 300 end=1 IJ\n"
            "viClose 100\n");
}

TEST_F(vendor_visa, failures_are_described_by_the_installed_library) {
  auto r = run_kobrant({"/a=STANDIN0::FAIL::INSTR", "/c=*IDN?"});
  EXPECT_EQ(r.signed_status(), -2) << describe(r);
  EXPECT_EQ(r.err, "VISA Status (-1073807343): stand-in description of -1073807343\n");
  EXPECT_NE(read_all(log).find("viStatusDesc 0 -1073807343\n"), std::string::npos);
}

TEST_F(vendor_visa, the_listing_comes_from_the_installed_library) {
  auto r = run_kobrant({});
  EXPECT_EQ(r.status, 1) << describe(r);
  EXPECT_NE(r.out.find("Available Instruments:\nSTANDIN0::1::INSTR\nSTANDIN0::2::INSTR\n"
                       "STANDIN0::3::SOCKET\n\n*** Remember"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(read_all(log),
            "viOpenDefaultRM\n"
            "viFindRsrc 100 ?*\n"
            "viFindNext 200\n"
            "viFindNext 200\n"
            "viClose 100\n");
}

TEST(builtin_visa, answers_when_no_library_is_installed) {
  // The stand-in's resource names mean nothing to the built-in library.
  ::unsetenv("LD_LIBRARY_PATH");
  auto r = run_kobrant({"/a=STANDIN0::1::INSTR", "/c=*IDN?"});
  EXPECT_EQ(r.signed_status(), -2) << describe(r);
  EXPECT_EQ(r.err.rfind("VISA Status (-1073807342): Invalid resource name", 0), 0u) << r.err;
}

}  // namespace
}  // namespace kobrant::test
