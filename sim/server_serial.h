// The serial server: the simulated instrument behind a pseudo-terminal, which a client opens
// as it would the serial port of a USB adapter (ASRL/dev/pts/N::INSTR).
#pragma once

#include <memory>

#include "record.h"
#include "server.h"

namespace kobrant::sim {

// Allocates a pseudo-terminal and serves it on a thread of its own; rec must outlive the
// server. Throws std::system_error when no pseudo-terminal can be had.
//
// A message is the bytes up to and including a newline, as on a raw socket; the record says
// "SERIAL - <hex>". A serial line has no connections, so the server tells clients apart by
// the input flush a client does when it opens the port (and on a device clear): the
// instrument then starts afresh, as for a new socket connection, and an answer still being
// sent is dropped. The server keeps the port open itself, so clients come and go. DROP? and
// RESET? (a line has nothing else to break) end like an unplugged adapter: once the client has
// read the bytes, the pseudo-terminal goes away and the server serves no more.
std::unique_ptr<server> make_serial_server(const record& rec);

}  // namespace kobrant::sim
