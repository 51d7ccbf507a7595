// The read loop shared by all transports. A read ends, in order of priority, on END, on the
// enabled termination character, or on a full count (VI_SUCCESS_MAX_CNT). On links without END
// and with no termination character set, the end finder decides where a response ends; bytes
// that arrive beyond a response's end wait for the next read. On those links a message written
// with END ends in a newline, added here unless the caller's bytes already end in one, because
// instruments there take a newline as the end of a command.
#include "session.h"

#include <algorithm>
#include <cstring>

namespace kobrant::visa {
namespace {

constexpr std::byte newline{'\n'};

bool answers(const transport_entry& entry, ViAttr attr) {
  return std::find(entry.name_attributes.begin(), entry.name_attributes.end(), attr) != entry.name_attributes.end();
}

}  // namespace

session::session(resource_name name, const transport_entry& entry)
    : name_(std::move(name)), entry_(entry), opener_pid_(process_id()) {}

session::~session() { close(); }

ViStatus session::open(const deadline& until) {
  if (!entry_.make) return VI_ERROR_NSUP_OPER;
  // A session whose operations close() could not wake could not be closed safely.
  if (!wake_.usable()) return VI_ERROR_ALLOC;
  transport_ = entry_.make();
  ViStatus status = transport_->open(name_, until);
  if (status < 0) close();
  return status;
}

void session::close() noexcept {
  if (closed_.exchange(true) || !transport_) return;
  if (process_id() != opener_pid_) {
    // A child of fork: the connection is the parent's, so no teardown reaches the wire. A
    // thread of the parent that was inside an operation at the fork holds io_ for good here;
    // the descriptors then stay until this process ends.
    std::unique_lock io(io_, std::try_to_lock);
    if (io.owns_lock()) transport_->drop();
    return;
  }
  // Operations that start from now on see closed_; the one in progress is woken and ends
  // promptly, and only then do the descriptors go, so none of their numbers can be reused
  // under a thread still waiting on it. With none in progress there is nobody to wake.
  std::unique_lock io(io_, std::try_to_lock);
  if (!io.owns_lock()) {
    wake_.fire();
    io.lock();
  }
  std::lock_guard attrs(attrs_mutex_);
  transport_->close();
}

io_attributes session::current_attributes() {
  std::lock_guard lock(attrs_mutex_);
  return attrs_;
}

deadline session::operation_deadline(ViUInt32 timeout_ms) const {
  return deadline::after_ms(timeout_ms, &wake_);
}

ViStatus session::settle(ViStatus status) const { return closed_ ? VI_ERROR_ABORT : status; }

ViStatus session::write(std::span<const std::byte> data, std::size_t& written) {
  std::lock_guard lock(io_);
  written = 0;
  if (closed_) return VI_ERROR_INV_OBJECT;
  const io_attributes attrs = current_attributes();
  const bool add_newline = !entry_.carries_end && attrs.send_end && (data.empty() || data.back() != newline);
  const std::span<const std::byte> tail = add_newline ? std::span(&newline, 1) : std::span<const std::byte>();
  return settle(transport_->write(data, tail, attrs.send_end, operation_deadline(attrs.timeout_ms), written));
}

ViStatus session::next_chunk(std::span<std::byte> space, const read_rules& rules,
                             const deadline& until, std::size_t& n, bool& end, bool& from_held) {
  from_held = !held_.empty();
  if (from_held) {
    n = held_.take(space, end);
    return VI_SUCCESS;
  }
  return transport_->read(space, rules, until, n, end);
}

void session::keep_for_next_read(std::span<std::byte> chunk, std::size_t keep, bool end,
                                 bool from_held) {
  std::span<std::byte> rest = chunk.subspan(keep);
  if (rest.empty()) return;
  // Bytes that came from the store are still there just before its position; fresh ones from
  // the transport go in front of whatever it holds (nothing, as it was empty).
  if (from_held) held_.unread(rest.size());
  else held_.put_back(rest, end);
  std::memset(rest.data(), 0, rest.size());
}

ViStatus session::read(std::span<std::byte> buffer, std::size_t& count) {
  std::lock_guard lock(io_);
  count = 0;
  if (closed_) return VI_ERROR_INV_OBJECT;
  if (buffer.empty()) return VI_SUCCESS_MAX_CNT;

  const io_attributes attrs = current_attributes();
  const deadline until = operation_deadline(attrs.timeout_ms);
  const read_rules rules{attrs.termchar_enabled, attrs.termchar, !attrs.suppress_end};
  const bool find_end = !entry_.carries_end && !rules.termchar_enabled;

  while (count < buffer.size()) {
    std::span<std::byte> space = buffer.subspan(count);
    std::size_t n = 0;
    bool end = false;
    bool from_held = false;
    ViStatus status = settle(next_chunk(space, rules, until, n, end, from_held));
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

    if (rules.termchar_enabled) {
      auto hit = std::find(chunk.begin(), chunk.end(), std::byte{rules.termchar});
      if (hit != chunk.end()) {
        std::size_t keep = static_cast<std::size_t>(hit - chunk.begin()) + 1;
        bool end_on_termchar = end && keep == n;
        keep_for_next_read(chunk, keep, end, from_held);
        count += keep;
        return end_on_termchar && rules.end_enabled ? VI_SUCCESS : VI_SUCCESS_TERM_CHAR;
      }
    } else if (find_end) {
      if (auto stop = end_finder_.feed(chunk)) {
        keep_for_next_read(chunk, *stop, end, from_held);
        count += *stop;
        return VI_SUCCESS;
      }
    }
    count += n;
    if (end && rules.end_enabled) {
      end_finder_.reset();
      return VI_SUCCESS;
    }
  }
  return VI_SUCCESS_MAX_CNT;
}

void session::discard_input() {
  std::lock_guard lock(io_);
  drop_held();
}

void session::drop_held() {
  held_.clear();
  end_finder_.reset();
}

ViStatus session::clear() {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  drop_held();
  return settle(transport_->clear(operation_deadline(current_attributes().timeout_ms)));
}

ViStatus session::read_stb(ViUInt16& status_byte) {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  return settle(transport_->read_stb(operation_deadline(current_attributes().timeout_ms), status_byte));
}

ViStatus session::assert_trigger(ViUInt16 protocol) {
  std::lock_guard lock(io_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  return settle(transport_->assert_trigger(protocol, operation_deadline(current_attributes().timeout_ms)));
}

ViStatus session::set_attribute(ViAttr attr, ViAttrState value) {
  std::lock_guard lock(attrs_mutex_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  if (answers(entry_, attr)) return VI_ERROR_ATTR_READONLY;
  ViStatus status = transport_->set_attribute(attr, value);
  if (status != not_mine) return status;
  return set_io_attribute(attrs_, name_, attr, value);
}

ViStatus session::get_attribute(ViAttr attr, void* out) {
  std::lock_guard lock(attrs_mutex_);
  if (closed_) return VI_ERROR_INV_OBJECT;
  if (answers(entry_, attr)) return entry_.get_name_attribute(name_, attr, out);
  ViStatus status = transport_->get_attribute(attr, out);
  if (status != not_mine) return status;
  return get_io_attribute(attrs_, name_, attr, out);
}

}  // namespace kobrant::visa
