// Serial port discovery on Windows (see serial_ports.h): the values under the system's
// serial-port map are the names of the ports present now, whichever driver made them.
#include "serial_ports.h"

#include <windows.h>

#include <algorithm>
#include <charconv>

namespace kobrant::visa::serial {
namespace {

// "COM12" -> 12; nothing for any other name.
std::optional<unsigned> com_number(std::string_view name) {
  if (name.size() < 4 || (name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' || (name[2] | 0x20) != 'm') {
    return std::nullopt;
  }
  unsigned number = 0;
  const auto digits = name.substr(3);
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
  if (ec != std::errc() || end != digits.data() + digits.size() || number == 0) return std::nullopt;
  return number;
}

}  // namespace

std::vector<unsigned> find_com_ports() {
  std::vector<unsigned> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
      ERROR_SUCCESS) {
    return ports;  // no serial ports at all: the key exists only once a driver made one
  }
  for (DWORD index = 0;; ++index) {
    wchar_t value_name[256];
    DWORD name_length = 256;
    wchar_t data[64];
    DWORD data_size = sizeof data - sizeof(wchar_t);
    DWORD type = 0;
    const LONG rc = ::RegEnumValueW(key, index, value_name, &name_length, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &data_size);
    if (rc == ERROR_NO_MORE_ITEMS) break;
    // A value too long for a port name is not one; skip it, keep counting.
    if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
    data[data_size / sizeof(wchar_t)] = L'\0';
    std::string name;
    for (const wchar_t* c = data; *c; ++c) name.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
    if (auto number = com_number(name)) ports.push_back(*number);
  }
  ::RegCloseKey(key);
  std::sort(ports.begin(), ports.end());
  ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
  return ports;
}

std::optional<std::string> com_device(unsigned board) {
  if (board == 0) return std::nullopt;
  return "\\\\.\\COM" + std::to_string(board);
}

}  // namespace kobrant::visa::serial
