// One owner per file descriptor for the simulator: closes it when dropped, moves but never
// copies, so every early return and every thrown error releases what was opened.
#pragma once

#include <unistd.h>

#include <utility>

namespace kobrant::sim {

class unique_fd {
 public:
  unique_fd() noexcept = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  ~unique_fd() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }

  // close() is not retried on EINTR: on Linux the descriptor is gone either way, and a retry
  // could close one that another thread has just been given.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace kobrant::sim
