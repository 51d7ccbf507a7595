// The transport table: the only place the core names transports, and the one place a new
// protocol's row is added (its class and row live in its own transport_*.cpp; see transport.h).
// Classes without a transport in this build still have rows, so opening them fails with a
// clear status instead of a guess.
#include "transport.h"

#include <array>

namespace kobrant::visa {
namespace {

constexpr std::size_t no_address = address_index<std::monostate>;

constexpr transport_entry usb_raw_unavailable{VI_INTF_USB, "RAW", address_index<usb_address>, "USB raw", true,
                                              nullptr, nullptr};
constexpr transport_entry gpib_unavailable{VI_INTF_GPIB, "INSTR", address_index<gpib_address>, "GPIB", true,
                                           nullptr, nullptr};
constexpr transport_entry vxi_unavailable{VI_INTF_VXI, "", no_address, "VXI", true, nullptr, nullptr};
constexpr transport_entry gpib_vxi_unavailable{VI_INTF_GPIB_VXI, "", no_address, "GPIB-VXI", true, nullptr, nullptr};
constexpr transport_entry pxi_unavailable{VI_INTF_PXI, "", no_address, "PXI", true, nullptr, nullptr};
// Board-level classes (TCPIP0::SERVANT, GPIB0::INTFC, ...) that no row above takes. Rows compare
// classes exactly: the parser writes them in upper case.
constexpr transport_entry unsupported{0, "", no_address, "unsupported", true, nullptr, nullptr};

// Pointers, not copies: the entries live in the transport files, and copying them here would
// depend on the order in which translation units are initialised.
const std::array<const transport_entry*, 10> table = {
    &socket_transport_entry, &vxi11_transport_entry, &hislip_transport_entry, &serial_transport_entry,
    &usbtmc_transport_entry,     &usb_raw_unavailable,   &gpib_unavailable,       &vxi_unavailable,
    &gpib_vxi_unavailable,   &pxi_unavailable,
};

}  // namespace

const transport_entry& transport_for(const resource_name& name) {
  for (const transport_entry* entry : table)
    if (entry->interface_type == name.interface_type && entry->address == name.address.index() &&
        (entry->resource_class.empty() || entry->resource_class == name.resource_class))
      return *entry;
  return unsupported;
}

std::span<const transport_entry* const> all_transports() { return table; }

}  // namespace kobrant::visa
