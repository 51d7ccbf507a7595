// mDNS query and response reading (see mdns_wire.h). Names are kept in their wire form, lower
// case and without the root label: length-prefixed labels compare exactly, even when a label
// holds a dot ("Scope 1.lab" in an instance name).
#include "mdns_wire.h"

#include <algorithm>
#include <array>
#include <string>
#include <string_view>

namespace kobrant::visa::mdns {
namespace {

constexpr std::uint16_t type_a = 1;
constexpr std::uint16_t type_ptr = 12;
constexpr std::uint16_t type_srv = 33;
constexpr std::uint16_t class_in = 1;
constexpr std::uint16_t unicast_response = 0x8000;  // QU in a question, cache-flush in a record
constexpr std::uint16_t flag_response = 0x8000;
constexpr std::size_t header_size = 12;
constexpr std::size_t max_name = 255;  // in wire form, the root label included
// A host with more addresses than this on one response is listed by these.
constexpr std::size_t max_addresses = 16;

struct service_type {
  service type;
  std::string_view wire;  // wire form without the root label
};
constexpr std::array<service_type, 4> service_types = {{
    {service::vxi11, "\x07_vxi-11\x04_tcp\x05local"},
    {service::hislip, "\x07_hislip\x04_tcp\x05local"},
    {service::scpi_raw, "\x09_scpi-raw\x04_tcp\x05local"},
    {service::lxi, "\x04_lxi\x04_tcp\x05local"},
}};

std::uint16_t get_u16(std::span<const std::byte> m, std::size_t at) {
  return static_cast<std::uint16_t>(std::uint16_t(m[at]) << 8 | std::uint16_t(m[at + 1]));
}

void put_u16(std::vector<std::byte>& out, std::uint16_t value) {
  out.push_back(std::byte(value >> 8));
  out.push_back(std::byte(value & 0xFF));
}

// Reads the name at pos into name; after is where the record goes on. Every compression
// pointer must point before the lowest place the name has been read from so far, so a chain of
// pointers only ever goes back and cannot loop.
bool read_name(std::span<const std::byte> m, std::size_t pos, std::string& name, std::size_t& after) {
  name.clear();
  std::size_t lowest = pos;
  bool jumped = false;
  for (;;) {
    if (pos >= m.size()) return false;
    const auto length = static_cast<std::uint8_t>(m[pos]);
    if ((length & 0xC0) == 0xC0) {
      if (pos + 1 >= m.size()) return false;
      const std::size_t target = std::size_t(length & 0x3F) << 8 | std::size_t(m[pos + 1]);
      if (target >= lowest) return false;
      if (!jumped) after = pos + 2;
      jumped = true;
      lowest = pos = target;
      continue;
    }
    if (length & 0xC0) return false;  // the extended label types are not in use
    if (length == 0) {
      if (!jumped) after = pos + 1;
      return true;
    }
    if (length > m.size() - pos - 1 || name.size() + 1 + length + 1 > max_name) return false;
    name.push_back(static_cast<char>(length));
    for (std::size_t i = 1; i <= length; ++i) {
      const char c = static_cast<char>(m[pos + i]);
      name.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    pos += 1 + length;
  }
}

struct pointer_record {
  std::string owner, target;
};
struct service_record {
  std::string owner, target;
  std::uint16_t port;
};
struct address_record {
  std::string owner;
  std::uint32_t address;
};

}  // namespace

std::vector<std::byte> browse_query(std::uint16_t id) {
  std::vector<std::byte> out;
  put_u16(out, id);
  put_u16(out, 0);  // a standard query
  put_u16(out, static_cast<std::uint16_t>(service_types.size()));
  put_u16(out, 0);
  put_u16(out, 0);
  put_u16(out, 0);
  for (const service_type& t : service_types) {
    for (char c : t.wire) out.push_back(static_cast<std::byte>(c));
    out.push_back(std::byte{0});
    put_u16(out, type_ptr);
    put_u16(out, unicast_response | class_in);
  }
  return out;
}

std::optional<response> read_response(std::span<const std::byte> m) {
  if (m.size() < header_size || m.size() > max_message) return std::nullopt;
  const std::uint16_t flags = get_u16(m, 2);
  // A response, a standard query's (opcode 0), without an error code.
  if (!(flags & flag_response) || (flags & 0x7800) || (flags & 0x000F)) return std::nullopt;
  const std::size_t questions = get_u16(m, 4);
  const std::size_t records = std::size_t(get_u16(m, 6)) + get_u16(m, 8) + get_u16(m, 10);

  std::size_t pos = header_size;
  std::string name, target;
  for (std::size_t q = 0; q < questions; ++q) {
    if (!read_name(m, pos, name, pos) || m.size() - pos < 4) return std::nullopt;
    pos += 4;
  }
  std::vector<pointer_record> pointers;
  std::vector<service_record> services;
  std::vector<address_record> addresses;
  for (std::size_t r = 0; r < records; ++r) {
    if (!read_name(m, pos, name, pos) || m.size() - pos < 10) return std::nullopt;
    const std::uint16_t type = get_u16(m, pos);
    const std::uint16_t record_class = get_u16(m, pos + 2) & ~unicast_response;
    const bool goodbye = get_u16(m, pos + 4) == 0 && get_u16(m, pos + 6) == 0;  // TTL 0: withdrawn
    const std::size_t length = get_u16(m, pos + 8);
    const std::size_t data = pos + 10;
    if (length > m.size() - data) return std::nullopt;
    pos = data + length;
    if (record_class != class_in) continue;
    std::size_t end = 0;
    if (type == type_ptr) {
      if (!read_name(m, data, target, end) || end != pos) return std::nullopt;
      if (!goodbye) pointers.push_back({name, target});
    } else if (type == type_srv) {
      if (length < 7 || !read_name(m, data + 6, target, end) || end != pos) return std::nullopt;
      services.push_back({name, target, get_u16(m, data + 4)});
    } else if (type == type_a) {
      if (length != 4) return std::nullopt;
      addresses.push_back({name, std::uint32_t(get_u16(m, data)) << 16 | get_u16(m, data + 2)});
    }
  }

  response out;
  out.id = get_u16(m, 0);
  for (const pointer_record& p : pointers) {
    const auto type = std::find_if(service_types.begin(), service_types.end(),
                                   [&](const service_type& t) { return t.wire == p.owner; });
    if (type == service_types.end()) continue;
    const auto srv = std::find_if(services.begin(), services.end(),
                                  [&](const service_record& s) { return s.owner == p.target; });
    if (srv == services.end() || srv->port == 0) continue;
    found_service found{type->type, srv->port, {}};
    for (const address_record& a : addresses) {
      if (a.owner != srv->target || found.addresses.size() == max_addresses) continue;
      if (std::find(found.addresses.begin(), found.addresses.end(), a.address) == found.addresses.end())
        found.addresses.push_back(a.address);
    }
    out.services.push_back(std::move(found));
  }
  return out;
}

}  // namespace kobrant::visa::mdns
