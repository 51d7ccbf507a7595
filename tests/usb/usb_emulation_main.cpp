// main() of the USB emulation test programs. umockdev's testbed only works in a process that
// runs under its preload library, so the program first starts itself again under it, with a
// short private TMPDIR (the testbed's sockets live there, and their paths must stay short) that
// is removed afterwards, and with AddressSanitizer told not to insist on being loaded first.
// Listing the tests needs none of this. Each test process then enters a private network, as the
// listing of resources must only ever run in one; a process that cannot still runs its tests.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "private_network.h"
#include "usbfs_emulation.h"

namespace {

constexpr const char* preloaded_mark = "KOBRANT_USB_PRELOADED";

bool listing_only(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
  }
  return false;
}

void append_env(const char* name, const std::string& value, const char* separator) {
  const char* old = std::getenv(name);
  const std::string joined = old != nullptr && *old != '\0' ? std::string(old) + separator + value : value;
  ::setenv(name, joined.c_str(), 1);
}

// Runs this program again under the preload; returns its exit status.
int run_under_preload(char** argv) {
  char dir[] = "/tmp/kbusb-XXXXXX";
  if (::mkdtemp(dir) == nullptr) return -1;
  ::setenv("TMPDIR", dir, 1);
  ::setenv(preloaded_mark, "1", 1);
  append_env("LD_PRELOAD", "libumockdev-preload.so.0", " ");
  append_env("ASAN_OPTIONS", "verify_asan_link_order=0", ":");
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv("/proc/self/exe", argv);
    ::_exit(127);
  }
  int status = 0;
  while (pid > 0 && ::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  if (pid < 0) return -1;
  if (WIFSIGNALED(status)) {
    std::signal(WTERMSIG(status), SIG_DFL);
    std::raise(WTERMSIG(status));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kobrant::test::umockdev_preload_loaded() && std::getenv(preloaded_mark) == nullptr && !listing_only(argc, argv)) {
    const int status = run_under_preload(argv);
    if (status >= 0) return status;
    // Could not start it: run here, where the emulation tests skip with the reason.
  }
  testing::InitGoogleTest(&argc, argv);
  std::string why;
  kobrant::test::enter_private_network(why);
  return RUN_ALL_TESTS();
}
