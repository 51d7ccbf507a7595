// Feeds arbitrary bytes to discovery's readers of peer datagrams: the mDNS response reader, and
// what discovery takes from an mDNS answer or a port-mapper reply. Checks that whatever is
// accepted keeps the reader's promises: every service has a port, each host at most a bounded
// number of addresses, and a listed VXI-11 port lies in 1 to 65535.
#include "lan_discovery.h"
#include "mdns_wire.h"
#include "portmap_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace kobrant::visa;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::byte> bytes(reinterpret_cast<const std::byte*>(data), size);
  if (const auto r = mdns::read_response(bytes)) {
    if (size > mdns::max_message) std::abort();
    for (const auto& s : r->services)
      if (s.port == 0 || s.addresses.size() > 16) std::abort();
  }
  const auto answer = portmap::read_getport_reply(bytes, 7);
  if (answer.kind == portmap::answer::listed && answer.port == 0) std::abort();

  lan_interface on;
  on.address = 0xC0000201;
  on.netmask = 0xFFFFFF00;
  lan_answers answers;
  answers.take_mdns(bytes, std::nullopt, {0xC000020A, mdns::port}, on);
  answers.take_portmap(bytes, 7, {0xC000020A, 111}, on);
  const auto found = answers.take_all();
  for (std::size_t i = 1; i < found.size(); ++i)
    if (!(found[i - 1] < found[i])) std::abort();  // deduplicated and in order
  return 0;
}
