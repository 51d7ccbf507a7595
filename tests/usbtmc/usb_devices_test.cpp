// The USBTMC interface walk on fake sysfs trees laid out like /sys/bus/usb/devices (device and
// interface entries side by side, numeric attributes in hex with a trailing newline), and the
// resource names the listing prints for what it finds.
#include "usb_devices.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace kobrant::visa::usb;

class fake_sysfs {
 public:
  void add_device(const std::string& name, const std::string& vid, const std::string& pid,
                  const char* serial, unsigned bus = 1, unsigned devnum = 2) {
    const fs::path dir = root() / name;
    fs::create_directories(dir);
    write(dir / "idVendor", vid);
    write(dir / "idProduct", pid);
    if (serial) write(dir / "serial", serial);
    write(dir / "busnum", std::to_string(bus));
    write(dir / "devnum", std::to_string(devnum));
  }

  void add_interface(const std::string& name, const std::string& cls, const std::string& sub,
                     const std::string& protocol, const std::string& number, const std::string& driver = {}) {
    const fs::path dir = root() / name;
    fs::create_directories(dir);
    write(dir / "bInterfaceClass", cls);
    write(dir / "bInterfaceSubClass", sub);
    write(dir / "bInterfaceProtocol", protocol);
    write(dir / "bInterfaceNumber", number);
    if (!driver.empty()) {
      fs::create_directories(dir_.path() / "drivers" / driver);
      fs::create_directory_symlink(dir_.path() / "drivers" / driver, dir / "driver");
      if (driver == "usbtmc") fs::create_directories(dir / "usbmisc" / "usbtmc3");
    }
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& tmc : find_tmc_interfaces({root().string()})) out.push_back(resource_name_of(tmc).value_or("-"));
    return out;
  }
  fs::path root() const { return dir_.path() / "devices"; }

 private:
  static void write(const fs::path& file, const std::string& value) { std::ofstream(file) << value << "\n"; }
  kobrant::test::temp_dir dir_;
};

TEST(usb_listing, names_every_tmc_interface_and_nothing_else) {
  fake_sysfs sys;
  EXPECT_TRUE(sys.names().empty());  // no tree at all
  // A hub and a mouse: no TMC interface.
  sys.add_device("usb1", "1d6b", "0002", nullptr);
  sys.add_interface("1-0:1.0", "09", "00", "00", "00");
  sys.add_device("1-1", "046d", "c077", nullptr);
  sys.add_interface("1-1:1.0", "03", "01", "02", "00");
  // A USB488 instrument with its TMC interface second, beside a vendor interface.
  sys.add_device("1-2", "1234", "5678", "SN1");
  sys.add_interface("1-2:1.0", "ff", "00", "00", "00");
  sys.add_interface("1-2:1.1", "fe", "03", "01", "01", "usbtmc");
  // A plain USBTMC instrument without a serial number, hex ids with letters.
  sys.add_device("2-1.4", "0aad", "01ef", nullptr, 2, 7);
  sys.add_interface("2-1.4:1.0", "fe", "03", "00", "00");
  // Application-specific class but another subclass (DFU), and a TMC protocol nothing knows.
  sys.add_device("3-1", "1234", "9999", "X");
  sys.add_interface("3-1:1.0", "fe", "01", "01", "00");
  sys.add_interface("3-1:1.1", "fe", "03", "02", "01");
  // Interfaces above 9 are numbered in hex by sysfs and in decimal in the name.
  sys.add_device("3-2", "1234", "0001", "AB-12");
  sys.add_interface("3-2:1.10", "fe", "03", "01", "10");

  EXPECT_EQ(sys.names(), (std::vector<std::string>{"USB0::0x1234::0x5678::SN1::1::INSTR",
                                                   "USB0::0x0AAD::0x01EF::::0::INSTR",
                                                   "USB0::0x1234::0x0001::AB-12::16::INSTR"}));
  const auto found = find_tmc_interfaces({sys.root().string()});
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].driver, "usbtmc");
  EXPECT_EQ(found[0].char_device, "usbtmc3");
  EXPECT_EQ(found[0].protocol, 1u);
  EXPECT_EQ(found[1].serial, std::nullopt);
  EXPECT_EQ(found[1].bus, 2u);
  EXPECT_EQ(found[1].address, 7u);
  EXPECT_TRUE(found[1].driver.empty());
}

TEST(usb_listing, skips_what_it_cannot_read_or_name) {
  fake_sysfs sys;
  // The device entry vanished (unplugged during the walk): its interface is left out.
  sys.add_interface("1-3:1.0", "fe", "03", "01", "00");
  // Unparsable attributes.
  sys.add_device("1-4", "12g4", "5678", "S");
  sys.add_interface("1-4:1.0", "fe", "03", "01", "00");
  sys.add_device("1-5", "1234", "5678", "S");
  sys.add_interface("1-5:1.0", "fe", "03", "01", "");
  // An attribute longer than any sysfs gives is not read on to its end, number or not.
  sys.add_device("1-8", "1234", std::string(5000, '0') + "1", "S");
  sys.add_interface("1-8:1.0", "fe", "03", "01", "00");
  // A serial number that a resource name cannot carry.
  sys.add_device("1-6", "1234", "5678", "A::B");
  sys.add_interface("1-6:1.0", "fe", "03", "01", "00");
  sys.add_device("1-7", "1234", "5678", "two words");
  sys.add_interface("1-7:1.0", "fe", "03", "01", "00");
  EXPECT_EQ(sys.names(), (std::vector<std::string>{"-", "-"}));
}

}  // namespace

namespace {

using kobrant::visa::usb_address;

tmc_interface device(const std::string& at, std::uint16_t pid, const char* serial, unsigned number) {
  tmc_interface t;
  t.device = at;
  t.vendor_id = 0x1234;
  t.product_id = pid;
  if (serial) t.serial = serial;
  t.interface_number = number;
  return t;
}

TEST(usb_matching, picks_one_interface_or_says_why_not) {
  const std::vector<tmc_interface> found = {
      device("1-1", 0x5678, "SN1", 0), device("1-1", 0x5678, "SN1", 2),  // two TMC interfaces
      device("1-2", 0x5678, "sn2", 0),                                    // only a case apart
      device("1-3", 0x5678, "SN2", 0),
      device("1-4", 0x9999, nullptr, 0),                                  // no serial number
      device("1-5", 0x7777, nullptr, 0), device("1-6", 0x7777, nullptr, 0),  // twins
  };
  struct row {
    usb_address wanted;
    ViStatus status;
    std::string device;
    unsigned number;
  };
  const row rows[] = {
      {{0x1234, 0x5678, "SN1", -1}, VI_SUCCESS, "1-1", 0},  // the first TMC interface
      {{0x1234, 0x5678, "SN1", 2}, VI_SUCCESS, "1-1", 2},
      {{0x1234, 0x5678, "SN1", 1}, VI_ERROR_RSRC_NFOUND, "", 0},
      {{0x1234, 0x5678, "sn1", -1}, VI_SUCCESS, "1-1", 0},  // case ignored when nothing is exact
      {{0x1234, 0x5678, "SN2", -1}, VI_SUCCESS, "1-3", 0},  // the exact one among two
      {{0x1234, 0x5678, "Sn2", -1}, VI_ERROR_RSRC_NFOUND, "", 0},  // two by case alone
      {{0x1234, 0x9999, "", -1}, VI_SUCCESS, "1-4", 0},
      {{0x1234, 0x9999, "X", -1}, VI_ERROR_RSRC_NFOUND, "", 0},
      {{0x1234, 0x7777, "", -1}, VI_ERROR_RSRC_NFOUND, "", 0},
      {{0x4321, 0x5678, "SN1", -1}, VI_ERROR_RSRC_NFOUND, "", 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.wanted.serial_number + " " + std::to_string(r.wanted.product_id));
    tmc_interface out;
    std::string why;
    EXPECT_EQ(pick_interface(r.wanted, found, out, why), r.status);
    if (r.status == VI_SUCCESS) {
      EXPECT_EQ(out.device, r.device);
      EXPECT_EQ(out.interface_number, r.number);
    } else {
      EXPECT_FALSE(why.empty());
    }
  }
  tmc_interface out;
  std::string why;
  pick_interface({0x1234, 0x7777, "", -1}, found, out, why);
  EXPECT_NE(why.find("2 USB devices match"), std::string::npos) << why;
}

}  // namespace
