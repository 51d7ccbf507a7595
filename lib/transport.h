// The one small interface every transport implements, and the table that picks a transport from
// a parsed resource name. The core (session.cpp) keeps what is common: leftover bytes, the
// count, termination-character and end-of-response rules, and the attribute store.
#pragma once

#include "net.h"
#include "resource_name.h"
#include <kobrant/visa.h>

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kobrant::visa {

// Returned by a transport's attribute hooks for attributes it leaves to the core's store.
inline constexpr ViStatus not_mine = 1;

class transport {
 public:
  virtual ~transport() = default;

  // Connects and completes the protocol's handshake before the deadline.
  virtual ViStatus open(const resource_name& name, const deadline& until) = 0;

  // Sends data; with end, marks its last byte with the protocol's END indicator (or, on links
  // without one, ends the message the way instruments there expect). written counts the caller's
  // bytes handed over, also on failure.
  virtual ViStatus write(std::span<const std::byte> data, bool end, const deadline& until,
                         std::size_t& written) = 0;

  // Receives at least one byte into space, or fails. end tells whether the protocol's END came
  // with the last byte returned (always false on links without END). Bytes received before a
  // failure are still counted in count.
  virtual ViStatus read(std::span<std::byte> space, const deadline& until, std::size_t& count,
                        bool& end) = 0;

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

struct transport_entry {
  transport_kind kind;
  std::string_view name;
  bool carries_end;  // false: the core finds where a response ends (message_end)
  // nullptr for a class this build cannot serve: viOpen fails with VI_ERROR_NSUP_OPER.
  std::unique_ptr<transport> (*make)();
  // Adds the resources of this kind that can be found without configuration; may be nullptr.
  void (*list)(std::vector<std::string>& names);
};

// The entry for a kind; every kind has one.
const transport_entry& transport_for(transport_kind kind);

// All entries, for the resource search.
std::span<const transport_entry* const> all_transports();

// Entries defined in the transport files.
extern const transport_entry socket_transport_entry;
extern const transport_entry hislip_transport_entry;
extern const transport_entry vxi11_transport_entry;
extern const transport_entry serial_transport_entry;

}  // namespace kobrant::visa
