// Parsed VISA resource names: the fields every name has (interface, board, class, canonical
// form), and the address that only its interface has. The transport table picks a row from the
// interface, the class and the kind of address (TCPIP INSTR is VXI-11 or HiSLIP by its address).
#pragma once

#include <kobrant/visa.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace kobrant::visa {

inline constexpr std::uint16_t hislip_default_port = 4880;

// TCPIP[board]::host::port::SOCKET
struct socket_address {
  std::string host;   // without the brackets of an IPv6 literal
  std::uint16_t port = 0;
};

// TCPIP[board]::host[::device][::INSTR] with a VXI-11 device ("inst0", "gpib0,5")
struct vxi11_address {
  std::string host;
  std::string device_name;
};

// TCPIP[board]::host::hislipN[,port][::INSTR]
struct hislip_address {
  std::string host;
  std::uint16_t port = hislip_default_port;
  std::string device_name;  // the sub-address, "hislip0"
};

// USB[board]::vid::pid::serial[::interface][::INSTR | ::RAW]
struct usb_address {
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string serial_number;
  int usb_interface = -1;  // -1: the first matching interface
};

// ASRL[board]::INSTR, or ASRL/dev/ttyUSB0::INSTR with a device path in place of the board
struct asrl_address {
  std::string device_path;  // empty for the numbered form
};

// GPIB[board]::primary[::secondary][::INSTR]
struct gpib_address {
  unsigned primary_address = 0;
  int secondary_address = -1;  // -1: none
};

// No address: board-level classes and the interfaces nothing here serves (VXI, PXI).
using interface_address = std::variant<std::monostate, socket_address, vxi11_address, hislip_address,
                                       usb_address, asrl_address, gpib_address>;

// The position of address type A in interface_address, for keying table rows.
template <class A, class V = interface_address>
struct address_index_of;
template <class A, class... Ts>
struct address_index_of<A, std::variant<Ts...>> {
  static constexpr std::size_t value = [] {
    std::size_t i = 0;
    (void)((std::is_same_v<A, Ts> ? true : (++i, false)) || ...);
    return i;
  }();
};
template <class A>
inline constexpr std::size_t address_index = address_index_of<A>::value;

struct resource_name {
  ViUInt16 interface_type = 0;  // VI_INTF_*
  unsigned board = 0;
  std::string resource_class;   // "INSTR", "SOCKET", "RAW", ...
  // The name with every defaulted field written out, as viFindRsrc reports names.
  std::string canonical;
  interface_address address;
};

// Parses name into out. VI_SUCCESS, or VI_ERROR_INV_RSRC_NAME for a name outside the grammar
// or one whose canonical form is 256 characters or longer (it could not be handed out whole in
// a VI_FIND_BUFLEN buffer). Known classes without an address of their own (VXI, GPIB-VXI, PXI,
// board-level classes such as GPIB0::INTFC) parse with no address.
ViStatus parse_resource_name(std::string_view name, resource_name& out);

}  // namespace kobrant::visa
