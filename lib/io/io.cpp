// The parts of the I/O unit that are the same on every platform: deadlines on the steady clock,
// and addresses as text.
#include "interfaces.h"
#include "io.h"

#include <cstdio>

namespace kobrant::visa {

deadline deadline::after_ms(ViUInt32 timeout_ms, const wake_signal* wake) {
  deadline d;
  d.wake_ = wake;
  if (timeout_ms == VI_TMO_INFINITE) {
    d.infinite_ = true;
  } else {
    d.at_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  }
  return d;
}

int deadline::poll_ms() const {
  if (infinite_) return -1;
  auto left = at_ - std::chrono::steady_clock::now();
  if (left <= std::chrono::steady_clock::duration::zero()) return 0;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
}

bool deadline::expired() const {
  return !infinite_ && std::chrono::steady_clock::now() >= at_;
}

std::string ipv4_text(ipv4 address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                address & 0xFF);
  return text;
}

}  // namespace kobrant::visa
