// Resource-name parser. Names come from users and scripts, so every field is checked: numbers
// for range, hosts for the characters a host name or address literal can hold. Interface
// keywords and classes are matched without regard to case.
#include "resource_name.h"

#include "ascii.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <vector>

namespace kobrant::visa {
namespace {

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii::to_upper(x) == ascii::to_upper(y); });
}

bool istarts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

std::string upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii::to_upper(c);
  return out;
}

// A decimal number up to max; "0x"/"0X" hex too when allow_hex.
std::optional<unsigned> parse_number(std::string_view s, unsigned max, bool allow_hex = false) {
  int base = 10;
  if (allow_hex && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  if (s.empty() || s.size() > 10) return std::nullopt;
  unsigned long long value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
  if (ec != std::errc() || end != s.data() + s.size() || value > max) return std::nullopt;
  return static_cast<unsigned>(value);
}

// Splits on "::", keeping a bracketed IPv6 literal (which holds "::" itself) in one field.
std::optional<std::vector<std::string_view>> split_fields(std::string_view name) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  std::size_t i = 0;
  bool in_brackets = false;
  while (i < name.size()) {
    char c = name[i];
    if (c == '[') {
      if (in_brackets || i != start) return std::nullopt;
      in_brackets = true;
    } else if (c == ']') {
      if (!in_brackets) return std::nullopt;
      in_brackets = false;
    } else if (!in_brackets && c == ':' && i + 1 < name.size() && name[i + 1] == ':') {
      fields.push_back(name.substr(start, i - start));
      i += 2;
      start = i;
      continue;
    }
    ++i;
  }
  if (in_brackets) return std::nullopt;
  fields.push_back(name.substr(start));
  // A field that starts or ends with ':' came from ":::", which could be read two ways. Empty
  // fields are left to the caller, which accepts one only where the grammar has room for it.
  for (std::string_view f : fields)
    if (!f.empty() && (f.front() == ':' || f.back() == ':')) return std::nullopt;
  return fields;
}

bool valid_host(std::string_view host, bool bracketed) {
  if (host.empty() || host.size() > 253) return false;
  for (char c : host) {
    bool ok = ascii::is_alnum(c) || c == '.' || c == '-' || c == '_' || (bracketed && (c == ':' || c == '%'));
    if (!ok) return false;
  }
  if (bracketed && host.find(':') == std::string_view::npos) return false;
  return true;
}

// Interface keyword and board number at the start of the first field.
struct interface_prefix {
  std::string_view keyword;
  ViUInt16 type;
};
constexpr interface_prefix interfaces[] = {
    {"TCPIP", VI_INTF_TCPIP}, {"USB", VI_INTF_USB}, {"ASRL", VI_INTF_ASRL},
    {"GPIB-VXI", VI_INTF_GPIB_VXI}, {"GPIB", VI_INTF_GPIB}, {"VXI", VI_INTF_VXI},
    {"PXI", VI_INTF_PXI},
};

// Board-level classes: the name is "<interface><board>::<CLASS>" and nothing else.
bool is_board_class(std::string_view cls, std::initializer_list<std::string_view> allowed) {
  return std::any_of(allowed.begin(), allowed.end(), [&](std::string_view c) { return iequals(cls, c); });
}

// A name that is only the interface and a board-level class, such as GPIB0::INTFC. Nothing
// here serves these: they have no address, so viOpen says the class is not supported.
ViStatus parse_board_class(std::string_view keyword, std::string_view cls, resource_name& r) {
  r.resource_class = upper(cls);
  r.canonical = std::string(keyword) + std::to_string(r.board) + "::" + r.resource_class;
  return VI_SUCCESS;
}

std::string host_text(std::string_view host) {
  if (host.find(':') == std::string_view::npos) return std::string(host);
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "[" + std::string.
  std::string text = "[";
  text += host;
  text += ']';
  return text;
}

ViStatus parse_tcpip(std::vector<std::string_view> f, resource_name& r) {
  // f[0] is the interface field; f[1] the host, or the class of TCPIP[board]::SERVANT.
  if (f.size() < 2) return VI_ERROR_INV_RSRC_NAME;
  if (f.size() == 2 && is_board_class(f[1], {"SERVANT"})) return parse_board_class("TCPIP", f[1], r);
  std::string_view host = f[1];
  bool bracketed = host.front() == '[';
  if (bracketed) {
    if (host.back() != ']') return VI_ERROR_INV_RSRC_NAME;
    host = host.substr(1, host.size() - 2);
  }
  if (!valid_host(host, bracketed)) return VI_ERROR_INV_RSRC_NAME;
  std::string prefix = "TCPIP" + std::to_string(r.board) + "::" + host_text(host) + "::";

  if (f.size() == 4 && iequals(f[3], "SOCKET")) {
    auto port = parse_number(f[2], 65535);
    if (!port || *port == 0) return VI_ERROR_INV_RSRC_NAME;
    r.resource_class = "SOCKET";
    r.address = socket_address{std::string(host), static_cast<std::uint16_t>(*port)};
    r.canonical = prefix + std::to_string(*port) + "::SOCKET";
    return VI_SUCCESS;
  }

  // INSTR: host[::device][::INSTR]
  std::size_t n = f.size();
  if (n >= 3 && iequals(f[n - 1], "INSTR")) --n;
  // A class word in the device's place is a class this interface does not have.
  if (n > 3 || (n == 3 && is_board_class(f[2], {"SOCKET", "RAW", "INTFC", "BACKPLANE", "MEMACC", "SERVANT"})))
    return VI_ERROR_INV_RSRC_NAME;
  std::string_view device = n == 3 ? f[2] : std::string_view("inst0");
  if (device.size() > 255) return VI_ERROR_INV_RSRC_NAME;
  for (char c : device)
    if (ascii::is_control(c) || c == ' ') return VI_ERROR_INV_RSRC_NAME;
  r.resource_class = "INSTR";
  if (istarts_with(device, "hislip")) {
    std::string_view rest = device.substr(6);
    std::string_view index = rest.substr(0, rest.find(','));
    if (!parse_number(index, 65535)) return VI_ERROR_INV_RSRC_NAME;
    hislip_address a{std::string(host), hislip_default_port, "hislip" + std::string(index)};
    if (auto comma = rest.find(','); comma != std::string_view::npos) {
      auto port = parse_number(rest.substr(comma + 1), 65535);
      if (!port || *port == 0) return VI_ERROR_INV_RSRC_NAME;
      a.port = static_cast<std::uint16_t>(*port);
    }
    r.canonical = prefix + a.device_name +
                  (a.port != hislip_default_port ? "," + std::to_string(a.port) : "") + "::INSTR";
    r.address = std::move(a);
    return VI_SUCCESS;
  }
  r.canonical = prefix + std::string(device) + "::INSTR";
  r.address = vxi11_address{std::string(host), std::string(device)};
  return VI_SUCCESS;
}

ViStatus parse_usb(std::vector<std::string_view> f, resource_name& r) {
  // USB[board]::vid::pid::serial[::interface][::INSTR | ::RAW]
  std::size_t n = f.size();
  std::string cls = "INSTR";
  if (n >= 5 && (iequals(f[n - 1], "INSTR") || iequals(f[n - 1], "RAW"))) {
    cls = upper(f[n - 1]);
    --n;
  }
  if (n != 4 && n != 5) return VI_ERROR_INV_RSRC_NAME;
  auto vid = parse_number(f[1], 0xFFFF, true);
  auto pid = parse_number(f[2], 0xFFFF, true);
  if (!vid || !pid) return VI_ERROR_INV_RSRC_NAME;
  for (char c : f[3])
    if (!ascii::is_graphic(c)) return VI_ERROR_INV_RSRC_NAME;
  usb_address a{static_cast<std::uint16_t>(*vid), static_cast<std::uint16_t>(*pid), std::string(f[3]), -1};
  if (n == 5) {
    auto intf = parse_number(f[4], 255);
    if (!intf) return VI_ERROR_INV_RSRC_NAME;
    a.usb_interface = static_cast<int>(*intf);
  }
  char ids[32];
  std::snprintf(ids, sizeof ids, "0x%04X::0x%04X", a.vendor_id, a.product_id);
  r.canonical = "USB" + std::to_string(r.board) + "::" + ids + "::" + a.serial_number +
                (n == 5 ? "::" + std::to_string(a.usb_interface) : "") + "::" + cls;
  r.resource_class = std::move(cls);
  r.address = std::move(a);
  return VI_SUCCESS;
}

ViStatus parse_gpib(std::vector<std::string_view> f, resource_name& r) {
  std::size_t n = f.size();
  if (n == 2 && is_board_class(f[1], {"INTFC", "SERVANT"})) return parse_board_class("GPIB", f[1], r);
  if (n >= 2 && iequals(f[n - 1], "INSTR")) --n;
  if (n != 2 && n != 3) return VI_ERROR_INV_RSRC_NAME;
  auto primary = parse_number(f[1], 30);
  if (!primary) return VI_ERROR_INV_RSRC_NAME;
  gpib_address a{*primary, -1};
  if (n == 3) {
    auto secondary = parse_number(f[2], 30);
    if (!secondary) return VI_ERROR_INV_RSRC_NAME;
    a.secondary_address = static_cast<int>(*secondary);
  }
  r.resource_class = "INSTR";
  r.canonical = "GPIB" + std::to_string(r.board) + "::" + std::to_string(a.primary_address) +
                (n == 3 ? "::" + std::to_string(a.secondary_address) : "") + "::INSTR";
  r.address = a;
  return VI_SUCCESS;
}

// VXI[board]::la[::INSTR], VXI[board][::la]::BACKPLANE, VXI[board]::MEMACC, VXI[board]::SERVANT,
// and the same for GPIB-VXI (without SERVANT). la is a VXI logical address, 0 to 255. Nothing
// here serves these; the fields are parsed so the name, its class and canonical form are right.
ViStatus parse_vxi(std::vector<std::string_view> f, std::string_view keyword, resource_name& r) {
  const std::size_t n = f.size();
  const bool servant_too = keyword == "VXI";
  if (n == 2 && (is_board_class(f[1], {"MEMACC", "BACKPLANE"}) || (servant_too && iequals(f[1], "SERVANT"))))
    return parse_board_class(keyword, f[1], r);
  const std::string prefix = std::string(keyword) + std::to_string(r.board) + "::";
  std::string cls = "INSTR";
  if (n == 3 && (iequals(f[2], "INSTR") || iequals(f[2], "BACKPLANE"))) cls = upper(f[2]);
  else if (n != 2) return VI_ERROR_INV_RSRC_NAME;
  auto address = parse_number(f[1], 255);
  if (!address) return VI_ERROR_INV_RSRC_NAME;
  r.resource_class = cls;
  r.canonical = prefix + std::to_string(*address) + "::" + cls;
  return VI_SUCCESS;
}

// PXI[board]::device[::function][::INSTR], PXI[board]::bus-device[.function][::INSTR],
// PXI[board]::CHASSISn::SLOTn[::FUNCn][::INSTR], PXI[board]::MEMACC and
// PXI[board]::chassis::BACKPLANE. Device 0-31, function
// 0-7, bus, chassis and slot 0-255. Nothing here serves these either.
ViStatus parse_pxi(std::vector<std::string_view> f, resource_name& r) {
  std::size_t n = f.size();
  if (n == 2 && is_board_class(f[1], {"MEMACC"})) return parse_board_class("PXI", f[1], r);
  if (n == 3 && iequals(f[2], "BACKPLANE")) {
    auto chassis = parse_number(f[1], 255);
    if (!chassis) return VI_ERROR_INV_RSRC_NAME;
    r.resource_class = "BACKPLANE";
    r.canonical = "PXI" + std::to_string(r.board) + "::" + std::to_string(*chassis) + "::BACKPLANE";
    return VI_SUCCESS;
  }
  if (n >= 2 && iequals(f[n - 1], "INSTR")) --n;
  if (n < 2) return VI_ERROR_INV_RSRC_NAME;
  const auto numbered = [&](std::string_view field, std::string_view word, unsigned max) {
    return istarts_with(field, word) ? parse_number(field.substr(word.size()), max) : std::nullopt;
  };
  std::string address;
  if (istarts_with(f[1], "CHASSIS")) {
    if (n != 3 && n != 4) return VI_ERROR_INV_RSRC_NAME;
    auto chassis = numbered(f[1], "CHASSIS", 255);
    auto slot = numbered(f[2], "SLOT", 255);
    auto function = n == 4 ? numbered(f[3], "FUNC", 7) : std::optional<unsigned>(0);
    if (!chassis || !slot || !function) return VI_ERROR_INV_RSRC_NAME;
    address = "CHASSIS" + std::to_string(*chassis) + "::SLOT" + std::to_string(*slot) +
              (n == 4 ? "::FUNC" + std::to_string(*function) : "");
  } else if (auto dash = f[1].find('-'); dash != std::string_view::npos) {
    if (n != 2) return VI_ERROR_INV_RSRC_NAME;
    std::string_view rest = f[1].substr(dash + 1);
    const auto dot = rest.find('.');
    auto bus = parse_number(f[1].substr(0, dash), 255);
    auto device = parse_number(rest.substr(0, dot), 31);
    auto function = dot == std::string_view::npos ? std::optional<unsigned>(0) : parse_number(rest.substr(dot + 1), 7);
    if (!bus || !device || !function) return VI_ERROR_INV_RSRC_NAME;
    address = std::to_string(*bus) + "-" + std::to_string(*device) +
              (dot != std::string_view::npos ? "." + std::to_string(*function) : "");
  } else {
    if (n != 2 && n != 3) return VI_ERROR_INV_RSRC_NAME;
    auto device = parse_number(f[1], 31);
    auto function = n == 3 ? parse_number(f[2], 7) : std::optional<unsigned>(0);
    if (!device || !function) return VI_ERROR_INV_RSRC_NAME;
    address = std::to_string(*device) + (n == 3 ? "::" + std::to_string(*function) : "");
  }
  r.resource_class = "INSTR";
  r.canonical = "PXI" + std::to_string(r.board) + "::" + address + "::INSTR";
  return VI_SUCCESS;
}

// VISA hands names out in VI_FIND_BUFLEN-byte buffers. A name whose canonical form does not fit
// with its terminating zero could only be reported cut short, as a different name; it is
// refused instead, so every name that parses can be reported whole.
ViStatus check_canonical_length(resource_name& r) {
  if (r.canonical.size() < VI_FIND_BUFLEN) return VI_SUCCESS;
  r = resource_name{};
  return VI_ERROR_INV_RSRC_NAME;
}

ViStatus parse_fields(std::string_view name, resource_name& out) {
  auto fields = split_fields(name);
  if (!fields) return VI_ERROR_INV_RSRC_NAME;
  std::string_view head = (*fields)[0];
  // The one field that may be empty: the serial number of a USB device that has none.
  const bool usb = istarts_with(head, "USB");
  for (std::size_t i = 0; i < fields->size(); ++i)
    if ((*fields)[i].empty() && !(usb && i == 3)) return VI_ERROR_INV_RSRC_NAME;

  const interface_prefix* intf = nullptr;
  for (const auto& candidate : interfaces) {
    if (istarts_with(head, candidate.keyword)) {
      intf = &candidate;
      break;
    }
  }
  if (!intf) return VI_ERROR_INV_RSRC_NAME;
  std::string_view board_text = head.substr(intf->keyword.size());
  if (!board_text.empty()) {
    auto board = parse_number(board_text, 65535);
    if (!board) return VI_ERROR_INV_RSRC_NAME;
    out.board = *board;
  }
  out.interface_type = intf->type;

  switch (intf->type) {
    case VI_INTF_TCPIP: return parse_tcpip(*fields, out);
    case VI_INTF_USB: return parse_usb(*fields, out);
    case VI_INTF_GPIB: return parse_gpib(*fields, out);
    case VI_INTF_VXI: case VI_INTF_GPIB_VXI: return parse_vxi(*fields, intf->keyword, out);
    case VI_INTF_PXI: return parse_pxi(*fields, out);
    case VI_INTF_ASRL:
      if (fields->size() > 2 || (fields->size() == 2 && !iequals((*fields)[1], "INSTR")))
        return VI_ERROR_INV_RSRC_NAME;
      out.resource_class = "INSTR";
      out.address = asrl_address{};
      out.canonical = "ASRL" + std::to_string(out.board) + "::INSTR";
      return VI_SUCCESS;
    default:
      return VI_ERROR_INV_RSRC_NAME;
  }
}

}  // namespace

ViStatus parse_resource_name(std::string_view name, resource_name& out) {
  out = resource_name{};
  if (name.empty() || name.size() > 1024) return VI_ERROR_INV_RSRC_NAME;
  for (char c : name)
    if (ascii::is_control(c)) return VI_ERROR_INV_RSRC_NAME;

  // ASRL/dev/ttyUSB0::INSTR: a device path in place of the board number. The path may hold
  // single colons but not "::".
  if (istarts_with(name, "ASRL/")) {
    std::string_view rest = name.substr(4);
    std::size_t sep = rest.find("::");
    std::string_view path = rest.substr(0, sep);
    if (sep != std::string_view::npos && !iequals(rest.substr(sep + 2), "INSTR"))
      return VI_ERROR_INV_RSRC_NAME;
    if (path.size() < 2 || path.size() > 240 || path.back() == ':') return VI_ERROR_INV_RSRC_NAME;
    for (char c : path)
      if (!ascii::is_graphic(c)) return VI_ERROR_INV_RSRC_NAME;
    out.interface_type = VI_INTF_ASRL;
    out.resource_class = "INSTR";
    out.canonical = "ASRL" + std::string(path) + "::INSTR";
    out.address = asrl_address{std::string(path)};
    return check_canonical_length(out);
  }

  ViStatus status = parse_fields(name, out);
  if (status < 0) {
    out = resource_name{};
    return status;
  }
  return check_canonical_length(out);
}

}  // namespace kobrant::visa
