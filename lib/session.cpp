// The read loop shared by all transports. A read ends, in order of priority, on END, on the
// enabled termination character, or on a full count (VI_SUCCESS_MAX_CNT). On links without END
// and with no termination character set, the end finder decides where a response ends; bytes
// that arrive beyond a response's end wait for the next read.
#include "session.h"

#include <algorithm>
#include <cstring>

namespace kobrant::visa {

session::session(resource_name name, const transport_entry& entry)
    : name_(std::move(name)), entry_(entry) {}

session::~session() { close(); }

ViStatus session::open(const deadline& until) {
  if (!entry_.make) return VI_ERROR_NSUP_OPER;
  transport_ = entry_.make();
  ViStatus status = transport_->open(name_, until);
  if (status < 0) close();
  return status;
}

void session::close() noexcept {
  if (transport_ && !closed_) transport_->close();
  closed_ = true;
}

ViStatus session::write(std::span<const std::byte> data, std::size_t& written) {
  std::lock_guard lock(io_);
  written = 0;
  if (closed_) return VI_ERROR_INV_OBJECT;
  return transport_->write(data, attrs_.send_end, deadline::after_ms(attrs_.timeout_ms), written);
}

ViStatus session::next_chunk(std::span<std::byte> space, const deadline& until, std::size_t& n,
                             bool& end, bool& from_pending) {
  from_pending = pending_pos_ < pending_.size();
  if (from_pending) {
    n = std::min(space.size(), pending_.size() - pending_pos_);
    std::memcpy(space.data(), pending_.data() + pending_pos_, n);
    pending_pos_ += n;
    end = pending_end_ && pending_pos_ == pending_.size();
    if (pending_pos_ == pending_.size()) {
      pending_.clear();
      pending_pos_ = 0;
      pending_end_ = false;
    }
    return VI_SUCCESS;
  }
  return transport_->read(space, until, n, end);
}

void session::keep_for_next_read(std::span<std::byte> chunk, std::size_t keep, bool end,
                                 bool from_pending) {
  std::span<std::byte> rest = chunk.subspan(keep);
  if (rest.empty()) return;
  if (from_pending && pending_pos_ > 0 && !pending_.empty()) {
    pending_pos_ -= rest.size();  // the rest is still in place just before pending_pos_
  } else {
    // Either fresh bytes from the transport, or the leftover was used up and cleared; in both
    // cases whatever is pending now (nothing) goes after the rest.
    std::vector<std::byte> next(rest.begin(), rest.end());
    next.insert(next.end(), pending_.begin() + static_cast<std::ptrdiff_t>(pending_pos_), pending_.end());
    pending_ = std::move(next);
    pending_pos_ = 0;
    pending_end_ = pending_.size() == rest.size() ? end : pending_end_;
  }
  std::memset(rest.data(), 0, rest.size());
}

ViStatus session::read(std::span<std::byte> buffer, std::size_t& count) {
  std::lock_guard lock(io_);
  count = 0;
  if (closed_) return VI_ERROR_INV_OBJECT;
  if (buffer.empty()) return VI_SUCCESS_MAX_CNT;

  const deadline until = deadline::after_ms(attrs_.timeout_ms);
  const bool use_termchar = attrs_.termchar_enabled;
  const bool find_end = !entry_.carries_end && !use_termchar;
  const bool honour_end = !attrs_.suppress_end;

  while (count < buffer.size()) {
    std::span<std::byte> space = buffer.subspan(count);
    std::size_t n = 0;
    bool end = false;
    bool from_pending = false;
    ViStatus status = next_chunk(space, until, n, end, from_pending);
    if (status < 0) {
      // The bytes that did arrive are the caller's. A signal only cut the wait short: the
      // response goes on, and the next read continues it where this one stopped (inside a
      // block, say). After any other failure the response is broken and the next read starts
      // afresh.
      count += n;
      if (status != VI_ERROR_ABORT) end_finder_.reset();
      return status;
    }
    std::span<std::byte> chunk = space.first(n);

    if (use_termchar) {
      auto hit = std::find(chunk.begin(), chunk.end(), std::byte{attrs_.termchar});
      if (hit != chunk.end()) {
        std::size_t keep = static_cast<std::size_t>(hit - chunk.begin()) + 1;
        bool end_on_termchar = end && keep == n;
        keep_for_next_read(chunk, keep, end, from_pending);
        count += keep;
        return end_on_termchar && honour_end ? VI_SUCCESS : VI_SUCCESS_TERM_CHAR;
      }
    } else if (find_end) {
      if (auto stop = end_finder_.feed(chunk)) {
        keep_for_next_read(chunk, *stop, end, from_pending);
        count += *stop;
        return VI_SUCCESS;
      }
    }
    count += n;
    if (end && honour_end) {
      end_finder_.reset();
      return VI_SUCCESS;
    }
  }
  return VI_SUCCESS_MAX_CNT;
}

void session::discard_input() {
  std::lock_guard lock(io_);
  drop_pending();
}

void session::drop_pending() {
  pending_.clear();
  pending_pos_ = 0;
  pending_end_ = false;
  end_finder_.reset();
}

ViStatus session::clear() {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  drop_pending();
  return transport_->clear(deadline::after_ms(attrs_.timeout_ms));
}

ViStatus session::read_stb(ViUInt16& status_byte) {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  return transport_->read_stb(deadline::after_ms(attrs_.timeout_ms), status_byte);
}

ViStatus session::set_attribute(ViAttr attr, ViAttrState value) {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  ViStatus status = transport_->set_attribute(attr, value);
  if (status != not_mine) return status;
  return set_io_attribute(attrs_, name_, attr, value);
}

ViStatus session::get_attribute(ViAttr attr, void* out) {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  ViStatus status = transport_->get_attribute(attr, out);
  if (status != not_mine) return status;
  return get_io_attribute(attrs_, name_, attr, out);
}

}  // namespace kobrant::visa
