// Serial port discovery over sysfs (see serial_ports.h). A tty that vanishes while the listing
// reads it is only left out: every file-system call's failure means "not there".
#include "serial_ports.h"

#include "ascii.h"
#include "directory_entries.h"

#include <algorithm>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kobrant::visa::serial {
namespace {

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// The serial core's "type" attribute: 0 is PORT_UNKNOWN, a slot where no UART answered.
// Linux creates such slots for every possible on-board port (ttyS0..ttyS31 by default).
bool is_empty_uart_slot(const std::string& entry) {
  const int fd = ::open((entry + "/type").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;  // not a serial-core port (USB serial, CDC ACM, ...)
  char text[32];
  const ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return false;
  unsigned type = 0;
  auto [end, ec] = std::from_chars(text, text + n, type);
  // An unreadable value is not proof of an empty slot: better list a port than hide one.
  if (ec != std::errc() || end == text) return false;
  return type == 0;
}

bool has_device_link(const std::string& entry) { return exists(entry + "/device"); }

// sysfs writes a '/' of a device name (a driver that puts its nodes in a subdirectory) as '!'.
std::string device_name(std::string sysfs_name) {
  std::replace(sysfs_name.begin(), sysfs_name.end(), '!', '/');
  return sysfs_name;
}

using ascii::is_digit;

}  // namespace

std::vector<std::string> find_ports(const port_roots& roots) {
  std::vector<std::string> ports;
  for (const std::string& file : directory_entries(roots.tty_class)) {
    const std::string entry = roots.tty_class + "/" + file;
    if (!has_device_link(entry) || is_empty_uart_slot(entry)) continue;
    std::string name = device_name(file);
    if (!exists(roots.dev + "/" + name)) continue;
    ports.push_back(std::move(name));
  }
  std::sort(ports.begin(), ports.end(), port_order);
  return ports;
}

bool port_order(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (is_digit(a[i]) && is_digit(b[j])) {
      // Compare the runs as numbers: skip leading zeros, then the longer run is larger, and
      // runs of one length compare digit by digit.
      std::size_t a_end = i, b_end = j;
      while (a_end < a.size() && is_digit(a[a_end])) ++a_end;
      while (b_end < b.size() && is_digit(b[b_end])) ++b_end;
      std::size_t a_start = i, b_start = j;
      while (a_start + 1 < a_end && a[a_start] == '0') ++a_start;
      while (b_start + 1 < b_end && b[b_start] == '0') ++b_start;
      const auto a_run = a.substr(a_start, a_end - a_start);
      const auto b_run = b.substr(b_start, b_end - b_start);
      if (a_run.size() != b_run.size()) return a_run.size() < b_run.size();
      if (a_run != b_run) return a_run < b_run;
      // Equal values: the run with fewer leading zeros first, so the order stays strict.
      if (a_end - i != b_end - j) return a_end - i < b_end - j;
      i = a_end;
      j = b_end;
      continue;
    }
    if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

std::optional<std::string> board_device(unsigned board) {
  if (board == 0) return std::nullopt;
  return "/dev/ttyS" + std::to_string(board - 1);
}

}  // namespace kobrant::visa::serial
