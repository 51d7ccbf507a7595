// The serial server where there are no pseudo-terminals (Windows): it cannot start, and says
// so. A simulated serial instrument needs a port pair the system makes for one program; serve
// one from Linux, or pair two COM ports with a null-modem driver and a socket bridge.
#include "server_serial.h"

#include <system_error>

namespace kobrant::sim {

std::unique_ptr<server> make_serial_server(const record&) {
  throw std::system_error(std::make_error_code(std::errc::not_supported),
                          "serial simulation needs a pseudo-terminal, which this system lacks "
                          "(it is available on Linux)");
}

}  // namespace kobrant::sim
