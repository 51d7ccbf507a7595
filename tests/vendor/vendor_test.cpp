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

// Runs kobrant with args in a private mount namespace whose loader cache is one made by
// ldconfig from the system folders and, with standin, the stand-in's folder; the host's cache
// stays as it is. Exit status 77: the machine cannot do that here (no root, no unshare).
process_result run_with_loader_cache(const temp_dir& dir, bool standin, const std::vector<std::string>& args) {
  std::ofstream(dir / "ld.so.conf") << (standin ? STANDIN_VISA_DIR "\n" : "");
  const std::string script =
      "PATH=$PATH:/sbin:/usr/sbin; cache=$1/ld.so.cache; shift; "
      "ldconfig -X -C \"$cache\" -f \"${cache%.cache}.conf\" 2>/dev/null || exit 77; "
      "exec unshare -m -- sh -c 'mount --bind \"$0\" /etc/ld.so.cache 2>/dev/null || exit 77; exec \"$@\"' "
      "\"$cache\" \"$@\" || exit 77";
  std::vector<std::string> argv = {"-c", script, "sh", dir.path().string(), kobrant_path()};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process("/bin/sh", argv);
}

TEST(loader_cache, an_installed_library_known_only_to_the_loader_cache_answers) {
  ::unsetenv("LD_LIBRARY_PATH");
  temp_dir dir;
  const std::string log = (dir / "calls.log").string();
  ::setenv("STANDIN_VISA_LOG", log.c_str(), 1);
  auto with = run_with_loader_cache(dir, true, {"/a=STANDIN0::1::INSTR", "/c=*IDN?"});
  auto without = run_with_loader_cache(dir, false, {"/a=STANDIN0::1::INSTR", "/c=*IDN?"});
  ::unsetenv("STANDIN_VISA_LOG");
  if (with.status == 77) GTEST_SKIP() << "needs root, unshare and ldconfig: " << describe(with);
  ASSERT_EQ(with.status, 0) << describe(with);
  EXPECT_EQ(with.out, "STANDIN0::1::INSTR <- *IDN?\nSTANDIN0::1::INSTR -> STANDIN,MODEL-7,0,2.0\n\n");
  // A cache without the folder: the built-in library, which knows no such resource.
  EXPECT_EQ(without.signed_status(), -2) << describe(without);
  EXPECT_EQ(without.err.rfind("VISA Status (-1073807342): Invalid resource name", 0), 0u) << without.err;
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
