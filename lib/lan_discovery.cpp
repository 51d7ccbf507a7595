// LAN discovery (see lan_discovery.h). Per interface address: one socket for the port-mapper
// broadcast and one for the mDNS query, both bound to that address, so every answer arrives on
// the socket of the interface it belongs to and is checked against that interface's subnet.
// One deadline for all; the broadcast goes out again a third of the way in, for a lost packet.
#include "lan_discovery.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <exception>
#include <optional>
#include <random>

#include "mdns_wire.h"
#include "portmap_wire.h"

namespace kobrant::visa {
namespace {

// More answers than this in one window are not from instruments: the rest are dropped, so a
// flood cannot grow the list without bound.
constexpr std::size_t max_services = 1024;

struct probe {
  const lan_interface* on = nullptr;
  unique_fd portmap;
  unique_fd mdns;
  std::uint32_t xid = 0;
  std::uint16_t mdns_id = 0;
};

void send_getport(const probe& p) {
  const auto call = portmap::getport_call(p.xid);
  send_datagram(p.portmap.get(), p.on->broadcast, vxi11::pmap_port, call);
}

// XIDs and query IDs a stranger cannot guess. Where the system offers no random source, the
// clock stands in: answers are still matched to this search's calls. The source is made per
// call: a search asks for a few words only, and a thread-local one would put its 5 KB state
// into every thread of every program that uses the library, searching or not.
std::uint32_t random_word() {
  try {
    std::random_device source;
    return source();
  } catch (const std::exception&) {
    static thread_local std::minstd_rand fallback(
        static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    return static_cast<std::uint32_t>(fallback());
  }
}

// Takes every datagram waiting on fd.
template <typename Take>
void drain(io_handle fd, std::span<std::byte> space, Take take) {
  datagram_sender sender;
  while (const auto n = receive_datagram(fd, space, sender))
    if (*n > 0) take(space.first(*n), sender);
}

}  // namespace

unsigned discovery_window_ms(const char* setting) {
  if (!setting || !*setting) return discovery_default_ms;
  unsigned long value = 0;
  for (const char* c = setting; *c; ++c) {
    if (*c < '0' || *c > '9') return discovery_default_ms;
    value = std::min<unsigned long>(value * 10 + static_cast<unsigned long>(*c - '0'), discovery_max_ms);
  }
  return static_cast<unsigned>(value);
}

void lan_answers::add(const lan_service& s) {
  if (found_.size() < max_services) found_.push_back(s);
}

void lan_answers::take_portmap(std::span<const std::byte> datagram, std::uint32_t xid,
                               const datagram_sender& sender, const lan_interface& on) {
  if (!on.on_link(sender.address)) return;
  const portmap::getport_answer answer = portmap::read_getport_reply(datagram, xid);
  if (answer.kind == portmap::answer::listed) add({sender.address, lan_protocol::vxi11, 0});
}

void lan_answers::take_mdns(std::span<const std::byte> datagram, std::optional<std::uint16_t> id,
                            const datagram_sender& sender, const lan_interface& on) {
  // Responders answer from the mDNS port, whatever port the query came from.
  if (!on.on_link(sender.address) || sender.port != mdns::port) return;
  const auto response = mdns::read_response(datagram);
  if (!response || (id && response->id != *id)) return;
  for (const mdns::found_service& s : response->services) {
    // The host's address on this link; a responder that names none on it (or none at all) is
    // taken at its word that the service is its own.
    const auto local = std::find_if(s.addresses.begin(), s.addresses.end(), [&](ipv4 a) { return on.on_link(a); });
    const ipv4 address = local != s.addresses.end() ? *local : sender.address;
    switch (s.type) {
      case mdns::service::vxi11: add({address, lan_protocol::vxi11, 0}); break;
      case mdns::service::hislip: add({address, lan_protocol::hislip, s.port}); break;
      case mdns::service::scpi_raw: add({address, lan_protocol::socket, s.port}); break;
      case mdns::service::lxi: break;  // a web page for people: no VISA resource of its own
    }
  }
}

std::vector<lan_service> lan_answers::take_all() {
  std::sort(found_.begin(), found_.end());
  found_.erase(std::unique(found_.begin(), found_.end()), found_.end());
  return std::move(found_);
}

std::vector<lan_service> discover_lan(unsigned window_ms) {
  if (window_ms == 0) return {};
  const std::vector<lan_interface> interfaces = lan_interfaces();
  if (interfaces.empty()) return {};

  // Joined before any query leaves, so a responder that only multicasts its answer is heard.
  const bool any_multicast =
      std::any_of(interfaces.begin(), interfaces.end(), [](const lan_interface& i) { return i.can_multicast; });
  unique_fd multicast_catch;
  if (any_multicast) multicast_catch = open_multicast_catch(mdns::group, mdns::port, interfaces);

  std::vector<probe> probes;
  std::vector<io_handle> fds;
  for (const lan_interface& i : interfaces) {
    probe p;
    p.on = &i;
    if (i.can_broadcast) p.portmap = open_udp_on(i);
    if (i.can_multicast) p.mdns = open_udp_on(i);
    if (!p.portmap && !p.mdns) continue;
    p.xid = random_word();
    p.mdns_id = static_cast<std::uint16_t>(random_word());
    if (p.portmap) fds.push_back(p.portmap.get());
    if (p.mdns) fds.push_back(p.mdns.get());
    probes.push_back(std::move(p));
  }
  if (probes.empty()) return {};
  if (multicast_catch) fds.push_back(multicast_catch.get());

  const deadline end = deadline::after_ms(window_ms);
  std::optional<deadline> resend = deadline::after_ms(window_ms / 3);
  for (const probe& p : probes) {
    if (p.portmap) send_getport(p);
    if (p.mdns) {
      const std::vector<std::byte> query = mdns::browse_query(p.mdns_id);
      send_datagram(p.mdns.get(), mdns::group, mdns::port, query);
    }
  }

  lan_answers answers;
  std::array<std::byte, mdns::max_message> space;
  for (;;) {
    if (resend && resend->expired()) {
      for (const probe& p : probes)
        if (p.portmap) send_getport(p);
      resend.reset();
    }
    const ViStatus status = wait_readable(fds, resend ? *resend : end);
    if (status == VI_ERROR_TMO && resend) continue;
    if (status != VI_SUCCESS) break;  // the window is over, or a signal ends the search early
    for (const probe& p : probes) {
      if (p.portmap)
        drain(p.portmap.get(), space, [&](auto bytes, const datagram_sender& from) {
          answers.take_portmap(bytes, p.xid, from, *p.on);
        });
      if (p.mdns)
        drain(p.mdns.get(), space, [&](auto bytes, const datagram_sender& from) {
          answers.take_mdns(bytes, p.mdns_id, from, *p.on);
        });
    }
    if (multicast_catch)
      drain(multicast_catch.get(), space, [&](auto bytes, const datagram_sender& from) {
        const auto on = std::find_if(interfaces.begin(), interfaces.end(),
                                     [&](const lan_interface& i) { return i.can_multicast && i.on_link(from.address); });
        if (on != interfaces.end()) answers.take_mdns(bytes, std::nullopt, from, *on);
      });
    if (end.expired()) break;
  }
  return answers.take_all();
}

}  // namespace kobrant::visa
