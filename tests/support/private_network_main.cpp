// main() of the VXI-11 test programs: each test process first moves into a network namespace
// of its own, so every test case (CTest runs each in its own process) has a loopback with a
// free port 111. A process that cannot enter one still lists its tests and skips them.
#include <gtest/gtest.h>

#include "private_network.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  std::string why;
  kobrant::test::enter_private_network(why);
  return RUN_ALL_TESTS();
}
