// The transport table: the only place the core names transports. A kind without a transport in
// this build still has an entry, so opening it fails with a clear status instead of a guess.
#include "transport.h"

#include <array>

namespace kobrant::visa {
namespace {

constexpr transport_entry usbtmc_unavailable{transport_kind::usbtmc, "USBTMC", true, nullptr, nullptr};
constexpr transport_entry usb_raw_unavailable{transport_kind::usb_raw, "USB raw", true, nullptr, nullptr};
constexpr transport_entry gpib_unavailable{transport_kind::gpib, "GPIB", true, nullptr, nullptr};
constexpr transport_entry unsupported{transport_kind::unsupported, "unsupported", true, nullptr, nullptr};

// Pointers, not copies: the entries live in the transport files, and copying them here would
// depend on the order in which translation units are initialised.
const std::array<const transport_entry*, 8> table = {
    &socket_transport_entry, &vxi11_transport_entry, &hislip_transport_entry, &serial_transport_entry,
    &usbtmc_unavailable,     &usb_raw_unavailable, &gpib_unavailable, &unsupported,
};

}  // namespace

const transport_entry& transport_for(transport_kind kind) {
  for (const transport_entry* entry : table)
    if (entry->kind == kind) return *entry;
  return unsupported;
}

std::span<const transport_entry* const> all_transports() { return table; }

}  // namespace kobrant::visa
