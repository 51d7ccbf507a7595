// A latch a test opens to let a scripted peer's thread go on, instead of sleeping. The wait is
// bounded (20 s), so a test that never opens it fails instead of hanging.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kobrant::test {

struct gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void release() {
    std::lock_guard l(m);
    open = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock l(m);
    cv.wait_for(l, std::chrono::seconds(20), [&] { return open; });
  }
};

}  // namespace kobrant::test
