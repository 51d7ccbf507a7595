// Where a protocol plugs in: the interface every transport implements and the row
// (transport_entry) each transport file exports. A new protocol is one transport_*.cpp that
// defines its class and its row, plus that row added to the table in transports.cpp. The core
// (session.cpp) keeps what is common: leftover bytes, the count, termination-character and
// end-of-response rules, the newline that ends a message on links without END, and the
// attribute store.
#pragma once

#include "lan_discovery.h"
#include "net.h"
#include "resource_name.h"
#include <kobrant/visa.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kobrant::visa {

// Returned by a transport's attribute hooks for attributes it leaves to the core's store.
inline constexpr ViStatus not_mine = 1;

// What ends a read, taken from the session's attributes once at the start of each read, so a
// transport whose protocol carries the termination character to the instrument (VXI-11) sends
// the values the core then checks, and never follows attribute changes itself.
struct read_rules {
  bool termchar_enabled = false;  // the termination character ends a read
  std::uint8_t termchar = '\n';
  bool end_enabled = true;        // END ends a read
};

class transport {
 public:
  virtual ~transport() = default;

  // Connects and completes the protocol's handshake before the deadline.
  virtual ViStatus open(const resource_name& name, const deadline& until) = 0;

  // Sends data and then tail as one message; with end, marks the last byte with the protocol's
  // END indicator. tail is what the core appends on links without END (a newline), and always
  // empty on links that carry END. written counts the bytes of data handed over, also on
  // failure, never those of tail.
  virtual ViStatus write(std::span<const std::byte> data, std::span<const std::byte> tail, bool end,
                         const deadline& until, std::size_t& written) = 0;

  // Receives at least one byte into space, or fails. end tells whether the protocol's END came
  // with the last byte returned (always false on links without END). Bytes received before a
  // failure are still counted in count. The core applies rules to what comes back; a transport
  // passes them on where its protocol lets the instrument stop early.
  virtual ViStatus read(std::span<std::byte> space, const read_rules& rules, const deadline& until,
                        std::size_t& count, bool& end) = 0;

  // Device clear: whatever the protocol offers to discard pending input and output.
  virtual ViStatus clear(const deadline& until) = 0;

  // The instrument's status byte, where the protocol can ask for it.
  virtual ViStatus read_stb(const deadline&, ViUInt16&) { return VI_ERROR_NSUP_OPER; }

  // A trigger by the protocol's own means (protocol: VI_TRIG_PROT_*), where it has one.
  virtual ViStatus assert_trigger(ViUInt16, const deadline&) { return VI_ERROR_NSUP_OPER; }

  // Best-effort orderly close; never fails, never waits long.
  virtual void close() noexcept = 0;

  // Releases the descriptors without any teardown on the wire or on the device: used in a
  // process that inherited the session through fork, where the connection, the link and the
  // port settings still belong to the process that opened them. Transports whose close only
  // releases descriptors keep this default.
  virtual void drop() noexcept { close(); }

  // Transport-specific attributes; not_mine leaves the attribute to the core. They may run
  // while another thread is inside write or read (never during open or close), so what they
  // share with those calls must be safe for that; a change applies from the next operation.
  virtual ViStatus set_attribute(ViAttr, ViAttrState) { return not_mine; }
  virtual ViStatus get_attribute(ViAttr, void*) { return not_mine; }
};

// One row per protocol. A parsed name picks the row by its interface, its class and the kind of
// address the parser gave it (TCPIP INSTR is VXI-11 or HiSLIP by the address).
struct transport_entry {
  ViUInt16 interface_type;          // VI_INTF_*
  std::string_view resource_class;  // empty: every class of the interface
  std::size_t address;              // address_index<the interface's address type>
  std::string_view name;
  // false: the core ends each message with a newline on write and finds where a response
  // ends on read (message_end).
  bool carries_end;
  // nullptr for a class this build cannot serve: viOpen fails with VI_ERROR_NSUP_OPER.
  std::unique_ptr<transport> (*make)();
  // Adds the resources of this row that can be found without configuration; may be nullptr.
  void (*list)(std::vector<std::string>& names);
  // Read-only attributes that come from the resource name and that this row answers, beyond
  // the ones every session has; the core refuses to set them.
  std::span<const ViAttr> name_attributes = {};
  // Writes one of name_attributes for name to out: VI_SUCCESS, or VI_ERROR_NSUP_ATTR.
  ViStatus (*get_name_attribute)(const resource_name& name, ViAttr attr, void* out) = nullptr;
  // The resource name of a service LAN discovery found, when this row serves it (empty
  // otherwise); nullptr for rows discovery cannot find. Every such name starts with
  // discovered_name_prefix, so a search whose expression cannot match that sends nothing.
  std::string (*discovered_name)(const lan_service& found) = nullptr;
};

inline constexpr std::string_view discovered_name_prefix = "TCPIP0::";

// The row that serves name; names no row serves get one whose open fails.
const transport_entry& transport_for(const resource_name& name);

// All entries, for the resource search.
std::span<const transport_entry* const> all_transports();

// Entries defined in the transport files.
extern const transport_entry socket_transport_entry;
extern const transport_entry hislip_transport_entry;
extern const transport_entry vxi11_transport_entry;
extern const transport_entry serial_transport_entry;
extern const transport_entry usbtmc_transport_entry;

}  // namespace kobrant::visa
