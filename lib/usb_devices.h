// USB test-and-measurement interfaces as the kernel shows them in sysfs: found without opening
// anything (no permission needed, no USB traffic), for the resource listing and for matching a
// resource name to a device before opening it. The walk is a function of one directory tree, so
// tests run it on a fake tree laid out like the kernel's.
#pragma once

#include "resource_name.h"
#include <kobrant/visa.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kobrant::visa::usb {

// Interface class, subclass and protocols of a USBTMC interface (protocol 1: USB488).
inline constexpr unsigned tmc_class = 0xFE;
inline constexpr unsigned tmc_subclass = 0x03;

struct sysfs_roots {
  std::string devices = "/sys/bus/usb/devices";  // devices and interfaces, by name
};

// One USBTMC interface and the device it belongs to.
struct tmc_interface {
  std::string device;  // sysfs name of the device ("1-2.4")
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::optional<std::string> serial;  // absent when the device has no serial number
  unsigned bus = 0;                   // busnum and devnum: the device node /dev/bus/usb/BBB/DDD
  unsigned address = 0;
  unsigned interface_number = 0;
  unsigned protocol = 0;  // 0 USBTMC, 1 USB488
  std::string driver;     // the kernel driver bound to the interface ("usbtmc"), or empty
  std::string char_device;  // with the usbtmc driver: its node's name ("usbtmc0"), or empty
};

// Every USBTMC interface, ordered by device name and interface number. An unreadable tree or a
// device that vanishes during the walk leaves out what could not be read.
std::vector<tmc_interface> find_tmc_interfaces(const sysfs_roots& roots = {});

// The resource name of an interface: USB0::0x1234::0x5678::SN1::0::INSTR (upper-case hex, the
// serial verbatim, empty when there is none), or nullopt when the serial number holds
// characters a resource name cannot carry.
std::optional<std::string> resource_name_of(const tmc_interface& tmc);

// The interface a resource name means among those found: same ids, the serial number exactly
// (or, when no device has it exactly, ignoring case; empty for a device without one), and the
// interface number or, none given, the device's first TMC interface. VI_ERROR_RSRC_NFOUND with
// the reason in why when nothing matches, and when two devices do: never a guess.
ViStatus pick_interface(const usb_address& wanted, const std::vector<tmc_interface>& found, tmc_interface& out,
                        std::string& why);

}  // namespace kobrant::visa::usb
