// The serial port listing on a fake sysfs tree laid out like the kernel's /sys/class/tty
// (class entries link into a devices tree, real ports have a "device" link, serial-core slots a
// "type" file) with a fake /dev beside it, and the order the listing is sorted in.
#include "serial_ports.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using kobrant::visa::serial::find_ports;
using kobrant::visa::serial::port_order;

class fake_system {
 public:
  // A tty as the kernel shows it: /sys/class/tty/<name> links to its directory under
  // /sys/devices; parent, if any, becomes its "device" link, type its "type" file.
  void add_tty(const std::string& name, const std::string& parent, const std::string& type = {}, bool node = true) {
    const fs::path own = sys() / "devices" / (parent.empty() ? "virtual" : parent) / "tty" / name;
    fs::create_directories(own);
    fs::create_directories(tty_class());
    if (!parent.empty()) fs::create_directory_symlink(sys() / "devices" / parent, own / "device");
    if (!type.empty()) std::ofstream(own / "type") << type << "\n";
    fs::create_directory_symlink(own, tty_class() / name);
    std::string node_name = name;
    std::replace(node_name.begin(), node_name.end(), '!', '/');
    fs::create_directories((dev() / node_name).parent_path());
    if (node) std::ofstream(dev() / node_name).put('\0');
  }

  std::vector<std::string> ports() const { return find_ports({tty_class(), dev()}); }
  fs::path sys() const { return dir_.path() / "sys"; }
  fs::path tty_class() const { return sys() / "class/tty"; }
  fs::path dev() const { return dir_.path() / "dev"; }

 private:
  kobrant::test::temp_dir dir_;
};

TEST(serial_port_listing, keeps_ports_with_hardware_and_drops_placeholders_and_virtual_ttys) {
  fake_system sys;
  EXPECT_TRUE(sys.ports().empty());  // no tty class at all
  // Virtual terminals, the console, /dev/tty and ptmx: no device behind them.
  for (const char* name : {"tty", "tty0", "tty63", "console", "ptmx"}) sys.add_tty(name, "");
  // On-board UART slots: one with a 16550A found (type 4), the others empty (type 0).
  sys.add_tty("ttyS0", "pnp0/00:04", "4");
  for (int i = 1; i < 32; ++i) sys.add_tty("ttyS" + std::to_string(i), "platform/serial8250", "0");
  // USB serial adapters and CDC ACM devices have no "type" file.
  sys.add_tty("ttyUSB0", "usb1/1-1/1-1:1.0");
  sys.add_tty("ttyACM0", "usb1/1-2/1-2:1.0");
  // A type it cannot read: hiding a working port would be worse than listing a doubtful one.
  sys.add_tty("ttyAMA0", "platform/fe201000.serial", "unknown");
  // A driver that keeps its nodes in a subdirectory ('/' is '!' in sysfs).
  sys.add_tty("usb!ttyX0", "usb1/1-3");
  // Known to sysfs but absent from this /dev; and one whose device link dangles.
  sys.add_tty("ttyUSB1", "usb1/1-4", "", /*node=*/false);
  sys.add_tty("ttyUSB2", "usb1/1-5");
  fs::remove(sys.tty_class() / "ttyUSB2/device");
  fs::create_directory_symlink(sys.sys() / "devices/gone", sys.tty_class() / "ttyUSB2/device");

  EXPECT_EQ(sys.ports(), (std::vector<std::string>{"ttyACM0", "ttyAMA0", "ttyS0", "ttyUSB0", "usb/ttyX0"}));
}

TEST(serial_port_listing, orders_numbers_by_value_whatever_the_directory_order) {
  const std::vector<std::string> expected = {"ttyACM2", "ttyACM10", "ttyS0", "ttyS9", "ttyS10", "ttyUSB1", "ttyUSB12"};
  std::vector<std::string> creation = expected;
  std::shuffle(creation.begin(), creation.end(), std::mt19937(7));
  fake_system sys;
  for (const auto& name : creation) sys.add_tty(name, "usb1/" + name);
  EXPECT_EQ(sys.ports(), expected);

  // A strict order even where values tie or exceed any integer type, as sorting needs.
  EXPECT_TRUE(port_order("ttyS1", "ttyS01"));
  EXPECT_FALSE(port_order("ttyS01", "ttyS1"));
  EXPECT_FALSE(port_order("ttyS3", "ttyS3"));
  EXPECT_TRUE(port_order("ttyS", "ttyS0"));
  EXPECT_TRUE(port_order("ttyS99999999999999999999", "ttyS100000000000000000000"));
}

}  // namespace
