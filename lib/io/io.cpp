// The parts of the I/O unit that are the same on every platform: deadlines on the steady clock.
#include "io.h"

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

}  // namespace kobrant::visa
