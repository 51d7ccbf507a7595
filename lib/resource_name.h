// Parsed VISA resource names: which transport serves a name, and the fields it needs.
#pragma once

#include <kobrant/visa.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace kobrant::visa {

// The protocol that serves a resource; one transport file per kind.
enum class transport_kind { socket, vxi11, hislip, serial, usbtmc, usb_raw, gpib, unsupported };

struct resource_name {
  transport_kind kind = transport_kind::unsupported;
  ViUInt16 interface_type = 0;  // VI_INTF_*
  unsigned board = 0;
  std::string resource_class;   // "INSTR", "SOCKET", "RAW", ...

  // TCPIP
  std::string host;             // without the brackets of an IPv6 literal
  std::uint16_t port = 0;       // SOCKET port, or the HiSLIP port (4880 unless given)
  std::string device_name;      // VXI-11 device ("inst0") or HiSLIP sub-address ("hislip0")

  // USB
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string serial_number;
  int usb_interface = -1;       // -1: the first matching interface

  // ASRL: the device path of ASRL/dev/ttyUSB0::INSTR, empty for the numbered form
  std::string device_path;

  // GPIB
  unsigned primary_address = 0;
  int secondary_address = -1;   // -1: none

  // The name with every defaulted field written out, as viFindRsrc reports names.
  std::string canonical;
};

inline constexpr std::uint16_t hislip_default_port = 4880;

// Parses name into out. VI_SUCCESS, or VI_ERROR_INV_RSRC_NAME for a name outside the grammar
// or one whose canonical form is 256 characters or longer (it could not be handed out whole in
// a VI_FIND_BUFLEN buffer). Known classes this library has no transport for (VXI, GPIB-VXI,
// PXI, board-level classes such as GPIB0::INTFC) parse with kind == unsupported.
ViStatus parse_resource_name(std::string_view name, resource_name& out);

}  // namespace kobrant::visa
