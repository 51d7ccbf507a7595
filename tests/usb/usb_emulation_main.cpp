// main() of the USB emulation test programs. umockdev's testbed only works in a process that
// runs under its preload library, so the program first starts itself again under it, with a
// short private TMPDIR (the testbed's sockets live there, and their paths must stay short) that
// is removed afterwards, and with AddressSanitizer told not to insist on being loaded first.
// Listing the tests needs none of this. Each test process then enters a private network, as the
// listing of resources must only ever run in one; a process that cannot still runs its tests.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "private_network.h"
#include "usbfs_emulation.h"

namespace {

bool listing_only(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--gtest_list_tests") == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (!kobrant::test::umockdev_preload_loaded() && !kobrant::test::rerun_refused() && !listing_only(argc, argv)) {
    const int status = kobrant::test::rerun_under_preload(argv);
    if (status >= 0) return status;
    // Could not start it: run here, where the emulation tests skip with the reason.
  }
  testing::InitGoogleTest(&argc, argv);
  std::string why;
  kobrant::test::enter_private_network(why);
  return RUN_ALL_TESTS();
}
