// kobrant-usb-testbed: runs one command with an emulated USBTMC instrument plugged in, for the
// USB benchmark and for trying the tool by hand on a machine without the instrument:
//
//   kobrant-usb-testbed [--serial S] [--twice] [--quirk NAME]... [--count-urbs] -- COMMAND [ARG]...
//
// The command and its children see the device model (VID 0x1234, PID 0x5678, bus 1 device 2)
// through umockdev; the exit status is the command's. --twice plugs in a second, identical
// device (device 3). Quirk names: split_header, eom_every_transfer, more_than_asked, no_zlp,
// wrong_btag_continuation. Violations of the protocol by the host are printed on stderr at the
// end, and make the exit status 3 when the command itself succeeded. --count-urbs prints, at the
// end, the replies asked for (REQUEST_DEV_DEP_MSG_IN) and the URBs the host submitted to each
// endpoint of the first device, to compare what clients spend per reply.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "usbfs_emulation.h"

extern char** environ;

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: kobrant-usb-testbed [--serial S] [--twice] [--quirk NAME]... [--count-urbs] -- COMMAND [ARG]...\n");
  return 2;
}

bool quirk_named(const char* name, unsigned& quirks) {
  static const struct {
    const char* name;
    unsigned bit;
  } known[] = {{"split_header", kobrant::test::quirk_split_header},
               {"eom_every_transfer", kobrant::test::quirk_eom_every_transfer},
               {"more_than_asked", kobrant::test::quirk_more_than_asked},
               {"no_zlp", kobrant::test::quirk_no_zlp},
               {"wrong_btag_continuation", kobrant::test::quirk_wrong_btag_continuation}};
  for (const auto& k : known) {
    if (std::strcmp(k.name, name) == 0) {
      quirks |= k.bit;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kobrant::test;
  if (!umockdev_preload_loaded() && !rerun_refused()) {
    const int status = rerun_under_preload(argv);
    if (status >= 0) return status;
  }
  std::string why;
  if (!usb_emulation_available(why)) {
    std::fprintf(stderr, "kobrant-usb-testbed: %s\n", why.c_str());
    return 77;
  }
  usb_identity identity;
  bool twice = false;
  bool count_urbs = false;
  unsigned quirks = 0;
  int at = 1;
  for (; at < argc && std::strcmp(argv[at], "--") != 0; ++at) {
    if (std::strcmp(argv[at], "--serial") == 0 && at + 1 < argc) identity.serial = argv[++at];
    else if (std::strcmp(argv[at], "--twice") == 0) twice = true;
    else if (std::strcmp(argv[at], "--count-urbs") == 0) count_urbs = true;
    else if (std::strcmp(argv[at], "--quirk") == 0 && at + 1 < argc && quirk_named(argv[at + 1], quirks)) ++at;
    else return usage();
  }
  if (at + 1 >= argc) return usage();

  usbtmc_device device(identity);
  device.set_quirks(quirks);
  identity.devnum = 3;
  usbtmc_device second(identity);
  usb_testbed bed;
  bed.plug(device);
  if (twice) bed.plug(second);

  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, argv[at + 1], nullptr, nullptr, argv + at + 1, environ);
  if (rc != 0) {
    std::fprintf(stderr, "kobrant-usb-testbed: cannot run %s: %s\n", argv[at + 1], std::strerror(rc));
    return 127;
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (count_urbs) {
    unsigned requests = 0;
    for (const auto& t : device.out_transfers()) requests += t.msg_id == 2 ? 1 : 0;
    std::fprintf(stderr, "kobrant-usb-testbed: %u replies asked for; URBs: Bulk-OUT %u, Bulk-IN %u, control %u\n",
                 requests, bed.urbs_submitted(device, identity.bulk_out), bed.urbs_submitted(device, identity.bulk_in),
                 bed.urbs_submitted(device, 0));
  }
  const auto violations = device.violations();
  for (const auto& v : violations) std::fprintf(stderr, "kobrant-usb-testbed: host violated the protocol: %s\n", v.c_str());
  return code == 0 && !violations.empty() ? 3 : code;
}
