// Enters a private network namespace (see private_network.h) without any outside tool: an
// unshare() and one interface flag set through ioctl.
#include "private_network.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kobrant::test {
namespace {

bool entered = false;
std::string failure = "not attempted";

}  // namespace

bool enter_private_network(std::string& why) {
  if (entered) return true;
  // The Windows run (scripts/windows) makes one private network for the whole suite: wine's
  // sockets live in its server's namespace, so kobrant.exe could not reach a simulator in a
  // namespace of the test's own. The cases then run one at a time (port 111).
  if (const char* shared = std::getenv("KOBRANT_TEST_SHARED_NETWORK"); shared && *shared) {
    entered = true;
    failure.clear();
    return true;
  }
  if (::unshare(CLONE_NEWNET) != 0) {
    why = std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    failure = why;
    return false;
  }
  // A new namespace has loopback, but down.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  if (up) {
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  }
  if (!up) why = std::string("cannot bring loopback up: ") + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  entered = up;
  failure = up ? "" : why;
  return up;
}

bool in_private_network() { return entered; }
const std::string& private_network_failure() { return failure; }

}  // namespace kobrant::test
