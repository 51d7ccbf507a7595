// The sysfs walk for USBTMC interfaces (see usb_devices.h). In /sys/bus/usb/devices a device is
// named by its bus and port path ("1-2.4"), each of its interfaces by the device's name, the
// configuration and the interface number ("1-2.4:1.0"). Numeric attributes are written in hex
// (idVendor "1234", bInterfaceClass "fe") except busnum and devnum (decimal), each ending in a
// newline. A device unplugged while it is being read only drops out of the listing: every
// failed file-system call means "not there".
//
// Plain POSIX calls and string paths rather than std::filesystem or streams: those would link
// the C++ locale machinery into every program that uses the library, hundreds of kilobytes and
// hundreds of relocations mapped and applied at each start of the tool.
#include "usb_devices.h"

#include "ascii.h"
#include "directory_entries.h"
#include "resource_name.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string_view>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace kobrant::visa::usb {
namespace {

// The first line of an attribute file, without its newline; nullopt when it cannot be read.
// sysfs hands out at most a page per attribute, so a longer file is not one and is refused
// rather than read on without bound.
std::optional<std::string> read_attribute(const std::string& file) {
  char text[4096 + 1];
  std::FILE* in = std::fopen(file.c_str(), "rb");
  if (!in) return std::nullopt;
  const std::size_t got = std::fread(text, 1, sizeof text, in);
  const bool failed = std::ferror(in) != 0;
  std::fclose(in);
  if (failed || got == sizeof text) return std::nullopt;
  std::string_view line(text, got);
  line = line.substr(0, line.find('\n'));
  while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return std::string(line);
}

std::optional<unsigned> read_number(const std::string& file, int base) {
  auto text = read_attribute(file);
  if (!text) return std::nullopt;
  // Leading and trailing blanks are not part of the number (busnum is sometimes padded).
  const auto begin = text->find_first_not_of(' ');
  if (begin == std::string::npos) return std::nullopt;
  unsigned value = 0;
  const char* first = text->data() + begin;
  const char* last = text->data() + text->size();
  auto [end, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc() || end == first) return std::nullopt;
  while (end != last && *end == ' ') ++end;
  if (end != last) return std::nullopt;
  return value;
}

// The last path component a symlink points to ("usbtmc" for .../drivers/usbtmc).
std::string link_target_name(const std::string& link) {
#ifdef _WIN32
  (void)link;  // no sysfs, no links to follow
  return {};
#else
  char target[4096];
  const auto n = ::readlink(link.c_str(), target, sizeof target);
  if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return {};
  std::string_view path(target, static_cast<std::size_t>(n));
  while (!path.empty() && path.back() == '/') path.remove_suffix(1);
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
#endif
}

// The usbtmc driver's node under the interface's folder (given with its closing '/'):
// usbmisc/usbtmcN.
std::string char_device_of(const std::string& interface_dir) {
  for (auto& name : directory_entries(interface_dir + "usbmisc"))
    if (name.rfind("usbtmc", 0) == 0) return std::move(name);
  return {};
}

std::optional<tmc_interface> read_interface(const std::string& devices, const std::string& name) {
  // Only interface entries have a ':' in their names; the device is the part before it.
  const auto colon = name.find(':');
  if (colon == std::string::npos || colon == 0) return std::nullopt;
  const std::string dir = devices + "/" + name + "/";
  const auto cls = read_number(dir + "bInterfaceClass", 16);
  const auto sub = read_number(dir + "bInterfaceSubClass", 16);
  const auto protocol = read_number(dir + "bInterfaceProtocol", 16);
  const auto number = read_number(dir + "bInterfaceNumber", 16);
  if (!cls || !sub || !protocol || !number) return std::nullopt;
  if (*cls != tmc_class || *sub != tmc_subclass || *protocol > 1) return std::nullopt;

  tmc_interface tmc;
  tmc.device = name.substr(0, colon);
  const std::string device = devices + "/" + tmc.device + "/";
  const auto vendor = read_number(device + "idVendor", 16);
  const auto product = read_number(device + "idProduct", 16);
  if (!vendor || !product || *vendor > 0xFFFF || *product > 0xFFFF) return std::nullopt;
  tmc.vendor_id = static_cast<std::uint16_t>(*vendor);
  tmc.product_id = static_cast<std::uint16_t>(*product);
  tmc.serial = read_attribute(device + "serial");
  tmc.bus = read_number(device + "busnum", 10).value_or(0);
  tmc.address = read_number(device + "devnum", 10).value_or(0);
  tmc.interface_number = *number;
  tmc.protocol = *protocol;
  tmc.driver = link_target_name(dir + "driver");
  if (tmc.driver == "usbtmc") tmc.char_device = char_device_of(dir);
  return tmc;
}

}  // namespace

std::vector<tmc_interface> find_tmc_interfaces(const sysfs_roots& roots) {
  std::vector<tmc_interface> found;
  for (const auto& name : directory_entries(roots.devices))
    if (auto tmc = read_interface(roots.devices, name)) found.push_back(std::move(*tmc));
  std::sort(found.begin(), found.end(), [](const tmc_interface& a, const tmc_interface& b) {
    return a.device != b.device ? a.device < b.device : a.interface_number < b.interface_number;
  });
  return found;
}

namespace {

// How a resource name's serial field matches a device's: exactly, or ignoring case; a device
// without a serial number matches an empty field.
bool serial_matches(const std::string& wanted, const std::optional<std::string>& actual, bool ignore_case) {
  const std::string& have = actual ? *actual : std::string();
  if (!ignore_case) return wanted == have;
  return std::equal(wanted.begin(), wanted.end(), have.begin(), have.end(), [](char a, char b) {
    return ascii::to_lower(a) == ascii::to_lower(b);
  });
}

}  // namespace

ViStatus pick_interface(const usb_address& wanted, const std::vector<tmc_interface>& found, tmc_interface& out,
                        std::string& why) {
  // An exact serial number first; only when no device has it, one that differs in case.
  for (bool ignore_case : {false, true}) {
    std::vector<const tmc_interface*> hits;
    for (const auto& tmc : found) {
      if (tmc.vendor_id != wanted.vendor_id || tmc.product_id != wanted.product_id) continue;
      if (!serial_matches(wanted.serial_number, tmc.serial, ignore_case)) continue;
      if (wanted.usb_interface >= 0 && tmc.interface_number != static_cast<unsigned>(wanted.usb_interface)) continue;
      // Only the first TMC interface of each device (found is sorted by device, then number).
      if (!hits.empty() && hits.back()->device == tmc.device) continue;
      hits.push_back(&tmc);
    }
    if (hits.size() == 1) {
      out = *hits.front();
      return VI_SUCCESS;
    }
    if (hits.size() > 1) {
      why = std::to_string(hits.size()) + " USB devices match this name (at " + hits[0]->device + " and " +
            hits[1]->device + "); none is opened";
      return VI_ERROR_RSRC_NFOUND;
    }
  }
  why = "no USB test-and-measurement interface matches this name";
  return VI_ERROR_RSRC_NFOUND;
}

std::optional<std::string> resource_name_of(const tmc_interface& tmc) {
  char ids[64];
  std::snprintf(ids, sizeof ids, "USB0::0x%04X::0x%04X::", tmc.vendor_id, tmc.product_id);
  std::string name = ids + tmc.serial.value_or("") + "::" + std::to_string(tmc.interface_number) + "::INSTR";
  // A serial number with blanks, control characters or "::" would make a name that does not
  // parse back to this device.
  resource_name parsed;
  if (parse_resource_name(name, parsed) != VI_SUCCESS) return std::nullopt;
  const auto* usb = std::get_if<usb_address>(&parsed.address);
  if (!usb || usb->serial_number != tmc.serial.value_or("")) return std::nullopt;
  return name;
}

}  // namespace kobrant::visa::usb
