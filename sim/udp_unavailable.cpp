// The simulator's UDP port mapper where it is not offered (Windows, whose build has no LAN
// discovery to answer): asking for it fails with the reason; by default it is left out.
#include "udp.h"

#include <system_error>

namespace kobrant::sim {

udp_server::udp_server(const std::string&, std::uint16_t, answer) {
  throw std::system_error(std::make_error_code(std::errc::not_supported),
                          "the UDP port mapper is not offered on this system");
}

udp_server::~udp_server() = default;

void udp_server::stop() {}

}  // namespace kobrant::sim
