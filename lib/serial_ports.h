// Which serial ports this machine has, as the kernel's tty class in sysfs shows them, and which
// device a numbered serial resource name (ASRLn) means. The listing is a function of two
// directory trees, so tests run it on a fake tree laid out like the kernel's.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kobrant::visa::serial {

// Plain strings and system calls rather than std::filesystem: linked statically, it brings the
// C++ locale machinery into the tool, a tenth of every run's start-up time.
struct port_roots {
  std::string tty_class = "/sys/class/tty";  // one entry per tty the kernel knows
  std::string dev = "/dev";                  // where their device nodes are
};

// The ports that have hardware behind them, as device names relative to /dev ("ttyUSB0"), in
// port_order. A tty counts when its sysfs entry has a "device" link (virtual consoles,
// /dev/tty, /dev/console, ptmx and pseudo-terminals have none), it is not one of the on-board
// UART slots Linux creates with no UART found ("type" 0), and its device node exists. An
// unreadable tree gives an empty list.
std::vector<std::string> find_ports(const port_roots& roots = {});

// A stable order for port names: runs of digits compare by value, so ttyS2 comes before
// ttyS10; otherwise byte by byte.
bool port_order(std::string_view a, std::string_view b);

// The device of a numbered name: ASRLn is /dev/ttyS(n-1), so ASRL1 is the first on-board
// port, as COM1 is on a PC. The mapping does not depend on what is plugged in, so a number
// always names the same port; USB adapters are opened by path (ASRL/dev/ttyUSB0::INSTR), which
// is how the listing names them. Board 0 names no port.
std::optional<std::string> board_device(unsigned board);

// Windows only (serial_ports_windows.cpp): the ports the system's serial-port map (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM) names,
// as their numbers (COM3 is 3), in ascending order; names that are not COMn are left out, as
// no numbered resource name can reach them.
std::vector<unsigned> find_com_ports();

// Windows only: the device of a numbered name, ASRLn being COMn (\\.\COMn, the form that also
// reaches COM10 and above). Board 0 names no port.
std::optional<std::string> com_device(unsigned board);

}  // namespace kobrant::visa::serial
