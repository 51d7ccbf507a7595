// GETPORT over UDP (see portmap_wire.h).
#include "portmap_wire.h"

#include <algorithm>

namespace kobrant::visa::portmap {

std::array<std::byte, getport_size> getport_call(std::uint32_t xid) {
  using namespace vxi11;
  std::array<std::byte, max_call_head> record{};
  const std::array<std::uint32_t, 4> mapping = {device_core, device_core_version, ipproto_tcp, 0};
  [[maybe_unused]] const std::size_t size =
      encode_call(record, {xid, pmap_prog, pmap_vers, pmapproc_getport}, mapping);
  // A datagram carries the record without its fragment mark.
  std::array<std::byte, getport_size> call{};
  std::copy_n(record.begin() + 4, getport_size, call.begin());
  return call;
}

getport_answer read_getport_reply(std::span<const std::byte> datagram, std::uint32_t xid) {
  const vxi11::reply_head head = vxi11::decode_reply_head(datagram);
  if (datagram.size() < head.need + 4 || head.xid != xid || head.fault != vxi11::rpc_fault::none) return {};
  const std::uint32_t port = vxi11::get_u32(datagram, head.need);
  if (port == 0) return {answer::not_listed, 0};
  if (port > 65535) return {};
  return {answer::listed, static_cast<std::uint16_t>(port)};
}

}  // namespace kobrant::visa::portmap
