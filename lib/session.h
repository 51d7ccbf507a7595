// An open instrument session: the transport chosen for its resource, its attributes, and the
// read rules every transport shares (count, termination character, END, and where a response
// ends on links that have no END).
#pragma once

#include "attributes.h"
#include "message_end.h"
#include "resource_name.h"
#include "transport.h"
#include "visa/visa.h"

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
  void close() noexcept;

  const resource_name& name() const { return name_; }

 private:
  // Takes up to space.size() bytes of the next input: leftovers first, then the transport.
  ViStatus next_chunk(std::span<std::byte> space, const deadline& until, std::size_t& n,
                      bool& end, bool& from_pending);
  // Keeps chunk bytes beyond keep for the next read, and zeroes them in the caller's buffer so
  // a caller that prints up to the first zero byte never sees them.
  void drop_pending();
  void keep_for_next_read(std::span<std::byte> chunk, std::size_t keep, bool end, bool from_pending);

  std::mutex io_;  // one operation at a time on a session
  resource_name name_;
  const transport_entry& entry_;
  std::unique_ptr<transport> transport_;
  io_attributes attrs_;
  message_end end_finder_;
  std::vector<std::byte> pending_;  // input received but not yet delivered
  std::size_t pending_pos_ = 0;
  bool pending_end_ = false;        // END came with the last pending byte
  bool closed_ = false;
};

}  // namespace kobrant::visa
