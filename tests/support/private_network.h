// A network namespace of the test process's own, with only loopback up: there the VXI-11 tests
// serve the port mapper's fixed port 111 without meeting one already on the machine, and no
// packet can leave. Child processes (kobrant, kobrant-sim, peers) inherit it.
#pragma once

#include <string>

namespace kobrant::test {

// Moves the calling process into a new network namespace and brings loopback up. Call it from
// main before any thread starts. Returns false with the reason when the system refuses
// (it takes root, or CAP_SYS_ADMIN).
bool enter_private_network(std::string& why);

// Whether enter_private_network succeeded in this process, and why not.
bool in_private_network();
const std::string& private_network_failure();

}  // namespace kobrant::test
