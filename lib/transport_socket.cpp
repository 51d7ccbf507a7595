// TCPIP SOCKET: raw SCPI over a TCP connection (TCPIP[board]::host::port::SOCKET).
// The wire carries only the bytes: no END, no device clear. The core adds the newline that ends
// a message and finds where a response ends. The row answers the address attributes.
#include "attributes.h"
#include "sockets.h"
#include "transport.h"

#include <algorithm>

namespace kobrant::visa {
namespace {

class socket_transport final : public transport {
 public:
  ViStatus open(const resource_name& name, const deadline& until) override {
    const auto& address = std::get<socket_address>(name.address);
    const ViStatus status = tcp_connect(address.host, address.port, until, fd_);
    if (status >= 0) receive_wait_.wait_inside(fd_.get());
    return status;
  }

  ViStatus write(std::span<const std::byte> data, std::span<const std::byte> tail, bool,
                 const deadline& until, std::size_t& written) override {
    written = 0;
    if (!fd_) return VI_ERROR_CONN_LOST;
    std::size_t sent = 0;
    ViStatus status = send_all(fd_.get(), data, tail, until, sent);
    written = std::min(sent, data.size());
    receive_wait_.answer_due = sent > 0;
    return status;
  }

  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline& until,
                std::size_t& count, bool& end) override {
    end = false;
    count = 0;
    if (!fd_) return VI_ERROR_CONN_LOST;
    return receive_some(fd_.get(), space, until, count, &receive_wait_);
  }

  ViStatus clear(const deadline& until) override {
    // No device clear exists on a raw socket. Dropping what arrives until the line has been
    // quiet a moment is the nearest thing: the rest of an abandoned answer, also one still on
    // its way, would otherwise be read as the next one. The session's timeout bounds it, so an
    // instrument that streams without pause cannot keep the clear going.
    if (!fd_) return VI_ERROR_CONN_LOST;
    return drain_until_quiet(fd_.get(), until);
  }

  void close() noexcept override { fd_.reset(); }

  ViStatus set_attribute(ViAttr attr, ViAttrState value) override {
    if (attr != VI_ATTR_TCPIP_NODELAY && attr != VI_ATTR_TCPIP_KEEPALIVE) return not_mine;
    if (value > 1) return VI_ERROR_NSUP_ATTR_STATE;
    int level = attr == VI_ATTR_TCPIP_NODELAY ? IPPROTO_TCP : SOL_SOCKET;
    int option = attr == VI_ATTR_TCPIP_NODELAY ? TCP_NODELAY : SO_KEEPALIVE;
    if (fd_ && !sockets::set_flag(fd_.get(), level, option, value != 0)) return VI_ERROR_NSUP_ATTR_STATE;
    (attr == VI_ATTR_TCPIP_NODELAY ? nodelay_ : keepalive_) = static_cast<ViBoolean>(value);
    return VI_SUCCESS;
  }

  ViStatus get_attribute(ViAttr attr, void* out) override {
    if (attr == VI_ATTR_TCPIP_NODELAY) *static_cast<ViBoolean*>(out) = nodelay_;
    else if (attr == VI_ATTR_TCPIP_KEEPALIVE) *static_cast<ViBoolean*>(out) = keepalive_;
    else return not_mine;
    return VI_SUCCESS;
  }

 private:
  unique_fd fd_;
  receive_wait receive_wait_;
  ViBoolean nodelay_ = VI_TRUE;
  ViBoolean keepalive_ = VI_FALSE;
};

std::unique_ptr<transport> make_socket_transport() { return std::make_unique<socket_transport>(); }

constexpr ViAttr address_attributes[] = {VI_ATTR_TCPIP_ADDR, VI_ATTR_TCPIP_HOSTNAME, VI_ATTR_TCPIP_PORT};

ViStatus get_address_attribute(const resource_name& name, ViAttr attr, void* out) {
  const auto& address = std::get<socket_address>(name.address);
  if (attr != VI_ATTR_TCPIP_PORT) return put_attribute_string(address.host, out);
  *static_cast<ViUInt16*>(out) = address.port;
  return VI_SUCCESS;
}

// A raw SCPI port announced over mDNS.
std::string discovered_name(const lan_service& found) {
  if (found.protocol != lan_protocol::socket) return {};
  return std::string(discovered_name_prefix) + ipv4_text(found.address) + "::" + std::to_string(found.port) +
         "::SOCKET";
}

}  // namespace

constinit const transport_entry socket_transport_entry{
    VI_INTF_TCPIP, "SOCKET", address_index<socket_address>, "SOCKET", false, &make_socket_transport, nullptr,
    address_attributes, &get_address_attribute, &discovered_name};

}  // namespace kobrant::visa
