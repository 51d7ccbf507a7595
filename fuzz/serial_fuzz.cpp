// Drives the serial transport's pure pieces with arbitrary input: sequences of attribute
// changes on a termios record (an accepted value reads back as set, a refused one changes
// nothing), and the port-name order the listing sorts with (it must stay a strict weak order,
// or sorting a listing is undefined).
#include "serial_line.h"
#include "serial_ports.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

using namespace kobrant::visa::serial;

constexpr ViAttr attributes[] = {VI_ATTR_ASRL_BAUD,       VI_ATTR_ASRL_DATA_BITS, VI_ATTR_ASRL_PARITY,   VI_ATTR_ASRL_STOP_BITS,
                                 VI_ATTR_ASRL_FLOW_CNTRL, VI_ATTR_ASRL_XON_CHAR,  VI_ATTR_ASRL_XOFF_CHAR, VI_ATTR_ASRL_AVAIL_NUM};

ViAttrState read_back(const termios& t, ViAttr attr) {
  ViUInt32 wide = 0;
  ViUInt16 narrow = 0;
  ViUInt8 byte = 0;
  if (attr == VI_ATTR_ASRL_BAUD) {
    get_line_attribute(t, attr, &wide);
    return wide;
  }
  if (attr == VI_ATTR_ASRL_XON_CHAR || attr == VI_ATTR_ASRL_XOFF_CHAR) {
    get_line_attribute(t, attr, &byte);
    return byte;
  }
  get_line_attribute(t, attr, &narrow);
  return narrow;
}

void check_attributes(const std::uint8_t* data, std::size_t size) {
  termios t{};
  make_default_line(t);
  for (std::size_t at = 0; at + 9 <= size; at += 9) {
    const ViAttr attr = attributes[data[at] % std::size(attributes)];
    ViAttrState value = 0;
    std::memcpy(&value, data + at + 1, sizeof value < 8 ? sizeof value : 8);
    if (data[at] & 0x80) value %= 32;  // small values reach every branch more often
    const termios before = t;
    const ViStatus status = set_line_attribute(t, attr, value);
    if (status == VI_SUCCESS) {
      if (!is_line_attribute(attr) || read_back(t, attr) != value) std::abort();
    } else if (std::memcmp(&t, &before, sizeof t) != 0) {
      std::abort();
    }
    if (!same_line_settings(t, t)) std::abort();
  }
}

void check_order(const std::uint8_t* data, std::size_t size) {
  // Three names cut from the input at the first two zero bytes.
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  std::string_view names[3];
  for (auto& name : names) {
    const auto cut = rest.find('\0');
    name = rest.substr(0, cut);
    rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
  }
  const auto& [a, b, c] = names;
  if (port_order(a, a)) std::abort();
  if (port_order(a, b) && port_order(b, a)) std::abort();
  if (port_order(a, b) && port_order(b, c) && !port_order(a, c)) std::abort();
  // Incomparable (equivalent) names must be equivalent transitively too.
  const auto equivalent = [](std::string_view x, std::string_view y) { return !port_order(x, y) && !port_order(y, x); };
  if (equivalent(a, b) && equivalent(b, c) && !equivalent(a, c)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 1) check_attributes(data + 1, size - 1);
  else check_order(data + 1, size - 1);
  return 0;
}
