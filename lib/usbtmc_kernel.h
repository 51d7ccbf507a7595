// The second way to a USB instrument on Linux: the kernel usbtmc driver's character device
// (/dev/usbtmcN), for when the interface is bound to that driver and its node is open to the
// user while the usbfs device node is not. The driver runs the protocol; this only maps the
// VISA operations onto its read(), write() and ioctls.
#pragma once

#include "transport.h"

#include <memory>
#include <string>

namespace kobrant::visa {

// A transport over the driver node at path (opened by its open(), whatever name it gets).
std::unique_ptr<transport> make_kernel_usbtmc_transport(std::string path);

}  // namespace kobrant::visa
