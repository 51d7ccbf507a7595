// Input that arrived but is not yet delivered: the bytes after where a read stopped, or data a
// peer sent beyond what was asked for. One type for every place that holds bytes back, so the
// rules for taking them, putting some back, and whether END came with the last one live once.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <vector>

namespace kobrant::visa {

class held_bytes {
 public:
  bool empty() const { return pos_ == bytes_.size(); }
  std::size_t size() const { return bytes_.size() - pos_; }
  // The memory the store holds on to, for checks that nothing was sized from a peer's word.
  std::size_t capacity() const { return bytes_.capacity(); }

  // Moves up to space.size() held bytes into space and returns how many; end tells whether
  // END came with the last of them (only when they were the last held).
  std::size_t take(std::span<std::byte> space, bool& end) {
    const std::size_t n = std::min(space.size(), size());
    if (n > 0) std::memcpy(space.data(), bytes_.data() + pos_, n);
    pos_ += n;
    end = end_ && empty() && n > 0;
    return n;
  }

  // Holds again the last n bytes take() gave out; they are still in place before the position.
  void unread(std::size_t n) { pos_ -= std::min(n, pos_); }

  // Holds bytes in front of whatever is held; with nothing held, end says whether END came
  // with their last one.
  void put_back(std::span<const std::byte> front, bool end) {
    if (front.empty()) return;
    if (empty()) {
      bytes_.assign(front.begin(), front.end());
      end_ = end;
    } else {
      std::vector<std::byte> next(front.begin(), front.end());
      next.insert(next.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(pos_), bytes_.end());
      bytes_ = std::move(next);
    }
    pos_ = 0;
  }

  // Holds bytes after whatever is held; END is marked apart, once the last byte is in.
  void append(std::span<const std::byte> back) {
    if (empty()) clear();
    bytes_.insert(bytes_.end(), back.begin(), back.end());
  }
  void set_end(bool end) { end_ = end; }

  void clear() {
    bytes_.clear();
    pos_ = 0;
    end_ = false;
  }

 private:
  std::vector<std::byte> bytes_;
  std::size_t pos_ = 0;
  bool end_ = false;  // END came with the last byte of bytes_
};

}  // namespace kobrant::visa
