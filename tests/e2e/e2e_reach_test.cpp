// Reaching a host: every address of a name is tried within the open timeout, and a host or
// network that cannot be reached is "not found" with the system's reason on standard error.
// The process first enters network and mount namespaces of its own: there a tunnel interface
// nobody reads swallows packets to its subnet (a black hole), and a hosts file of the test's
// own names a host whose first address is in that hole and whose second is the simulator.
#include <sched.h>
#include <sys/mount.h>

#include <fstream>

#include "e2e.h"

namespace kobrant::test {
namespace {

std::string setup_failure = "not attempted";

bool set_up_namespaces() {
  if (::unshare(CLONE_NEWNET | CLONE_NEWNS) != 0) return (setup_failure = "unshare needs root"), false;
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return (setup_failure = "cannot make mounts private"), false;
  }
  const std::vector<std::vector<std::string>> steps = {
      {"link", "set", "lo", "up"},
      {"tuntap", "add", "dev", "hole0", "mode", "tun"},
      {"link", "set", "hole0", "up"},
      {"addr", "add", "10.9.9.1/24", "dev", "hole0"},
      {"-6", "addr", "add", "fd00:9::1/64", "dev", "hole0", "nodad"},
  };
  for (const auto& step : steps) {
    if (run_process("/usr/sbin/ip", step).status != 0) return (setup_failure = "ip " + step[0] + " failed"), false;
  }
  // The black-holed IPv6 address sorts before IPv4 loopback, so it is the one tried first.
  static const std::string hosts = "/tmp/kobrant-reach-hosts-" + std::to_string(::getpid());
  std::ofstream(hosts) << "127.0.0.1 localhost\nfd00:9::9 twohomes\n127.0.0.1 twohomes\n";
  if (::mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
    return (setup_failure = "cannot mount the hosts file"), false;
  }
  std::filesystem::remove(hosts);  // the mount keeps it
  setup_failure.clear();
  return true;
}

class reach : public kobrant_e2e {
 protected:
  void SetUp() override {
    if (!setup_failure.empty()) GTEST_SKIP() << setup_failure;
  }
  // The simulator's resource with its address replaced by host.
  std::string resource_at(const std::string& host) const {
    std::string r = sim.resource();
    return r.replace(r.find("127.0.0.1"), 9, host);
  }
};

TEST_F(reach, a_name_whose_first_address_is_a_black_hole_reaches_the_second) {
  const auto result = run_kobrant({"/a=" + resource_at("twohomes"), "/c=*IDN?"});
  EXPECT_EQ(result.status, 0) << describe(result);
  EXPECT_NE(result.out.find("-> KOBRANT,"), std::string::npos) << result.out;
}

TEST_F(reach, an_unreachable_network_is_not_found_with_the_reason) {
  const auto result = run_kobrant({"/a=TCPIP::10.200.0.1::5025::SOCKET", "/c=*IDN?"});
  EXPECT_EQ(result.status, exit_visa_failure);
  EXPECT_TRUE(is_status_line(result.err, visa_not_found));
  EXPECT_NE(result.err.find("(connect to 10.200.0.1:5025: Network is unreachable)"), std::string::npos)
      << result.err;
}

}  // namespace
}  // namespace kobrant::test

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (!GTEST_FLAG_GET(list_tests)) kobrant::test::set_up_namespaces();
  return RUN_ALL_TESTS();
}
