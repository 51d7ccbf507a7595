// The USB emulation the USB tests run on: a umockdev testbed holding, for each device model,
// its sysfs tree (device and TMC interface, with the attributes libusb and the library's
// listing read) and a /dev/bus/usb/BBB/DDD node whose usbfs ioctls (SUBMITURB, REAPURB,
// DISCARDURB, CLEAR_HALT, CLAIMINTERFACE, DISCONNECT_CLAIM, ...) are served from the model.
// The real libusb runs on top, in this process or in a child that inherits the environment.
// What this proves and what it cannot: the device and usbfs are emulated; real firmware, hotplug
// timing and permissions on a real system are not.
#pragma once

#include <memory>
#include <string>

#include "usbtmc_device.h"

namespace kobrant::test {

// Whether umockdev's preload library is loaded into this process.
bool umockdev_preload_loaded();

// Runs this program (argv as main got it) again under umockdev's preload, with a short private
// TMPDIR (the testbed's sockets live there, and socket paths must stay short) removed afterwards
// and AddressSanitizer told not to insist on being loaded first. Returns its exit status, or -1
// when it could not be started. rerun_refused() is true inside such a rerun, so a program whose
// preload failed to load runs as it is instead of starting itself again and again.
int rerun_under_preload(char** argv);
bool rerun_refused();

// True when this process runs under umockdev's preload library, so a testbed can be built;
// why not otherwise.
bool usb_emulation_available(std::string& why);

// Skips the current test, with the reason, when the emulation cannot run here.
#define SKIP_WITHOUT_USB_EMULATION()                                             \
  do {                                                                           \
    std::string why_no_usb_;                                                     \
    if (!::kobrant::test::usb_emulation_available(why_no_usb_)) GTEST_SKIP() << why_no_usb_; \
  } while (false)

class usb_testbed {
 public:
  usb_testbed();  // throws std::runtime_error when umockdev cannot build one
  ~usb_testbed();
  usb_testbed(const usb_testbed&) = delete;
  usb_testbed& operator=(const usb_testbed&) = delete;

  // Plugs the device in: its sysfs tree and its usbfs node, served from device, which must
  // outlive the testbed. Returns the sysfs path of the USB device.
  std::string plug(usbtmc_device& device);
  // Plugs the device in as the kernel's usbtmc driver shows it to a user who may not open
  // usbfs: sysfs as above but no /dev/bus/usb node, and /dev/usbtmc<minor> served as the driver
  // serves it (read, write, and its ioctls: API version, MSG_IN_ATTR, EOM, timeouts, abort,
  // clear, status byte). Returns the node's path.
  std::string plug_kernel_driver_node(usbtmc_device& device, int minor = 0);
  // Pulls it out mid-use: every later usbfs call fails with ENODEV, transfers in flight end
  // with ESHUTDOWN, as the kernel does on a disconnect.
  void unplug(usbtmc_device& device);

  // URBs the host submitted to an endpoint of the device (by address; 0 is the control
  // endpoint), for counting the transfers an exchange costs.
  unsigned urbs_submitted(const usbtmc_device& device, std::uint8_t endpoint);

  // The testbed's root directory (its sys/ and dev/ trees).
  std::string root() const;

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace kobrant::test
