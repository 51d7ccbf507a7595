// An open instrument session: the transport chosen for its resource, its attributes, and the
// read rules every transport shares (count, termination character, END, and where a response
// ends on links that have no END).
//
// Threads: one operation at a time runs on a session (io_); attributes have their own short
// lock (attrs_mutex_) and never wait for an operation, which takes the values it needs once at
// its start. close() may come from any thread at any time: it wakes the operation in progress,
// which then ends with VI_ERROR_ABORT, and releases the descriptors once no operation can use
// them. Only the process that opened the session tears the protocol down; a process that
// inherited it through fork only drops its copies of the descriptors.
#pragma once

#include "attributes.h"
#include "held_bytes.h"
#include "message_end.h"
#include "resource_name.h"
#include "transport.h"
#include <kobrant/visa.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace kobrant::visa {

class session {
 public:
  // Connects through the transport of entry; status < 0 leaves the session closed.
  session(resource_name name, const transport_entry& entry);
  ~session();
  session(const session&) = delete;
  session& operator=(const session&) = delete;

  ViStatus open(const deadline& until);
  ViStatus write(std::span<const std::byte> data, std::size_t& written);
  ViStatus read(std::span<std::byte> buffer, std::size_t& count);
  ViStatus clear();
  ViStatus read_stb(ViUInt16& status_byte);
  ViStatus assert_trigger(ViUInt16 protocol);
  // Drops input received but not yet read.
  void discard_input();
  ViStatus set_attribute(ViAttr attr, ViAttrState value);
  ViStatus get_attribute(ViAttr attr, void* out);
  // Ends the session for good; on return its descriptors are closed.
  void close() noexcept;

  const resource_name& name() const { return name_; }

 private:
  // The attributes as they are now, and a deadline for an operation that starts now.
  io_attributes current_attributes();
  deadline operation_deadline(ViUInt32 timeout_ms) const;
  // The status an operation ends with: an operation that close() overlapped is aborted.
  ViStatus settle(ViStatus status) const;

  // Takes up to space.size() bytes of the next input: held bytes first, then the transport.
  ViStatus next_chunk(std::span<std::byte> space, const read_rules& rules, const deadline& until,
                      std::size_t& n, bool& end, bool& from_held);
  void drop_held();
  // Keeps chunk bytes beyond keep for the next read, and zeroes them in the caller's buffer so
  // a caller that prints up to the first zero byte never sees them.
  void keep_for_next_read(std::span<std::byte> chunk, std::size_t keep, bool end, bool from_held);

  std::mutex io_;           // one operation at a time on a session
  std::mutex attrs_mutex_;  // attrs_ and the transport's attribute hooks
  resource_name name_;
  const transport_entry& entry_;
  std::unique_ptr<transport> transport_;
  wake_signal wake_;        // fired by close() to end the operation in progress
  long opener_pid_;         // the process that opened the session
  io_attributes attrs_;
  message_end end_finder_;
  held_bytes held_;  // input received but not yet delivered
  std::atomic<bool> closed_ = false;
};

}  // namespace kobrant::visa
