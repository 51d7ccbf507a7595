// Sending an answer's bytes and ending the connection after it (see answer.h).
#include "answer.h"

#include <algorithm>

#include "tcp.h"

namespace kobrant::sim {

bool send_answer_bytes(io_handle fd, response& answer, std::uint64_t count, bool more) {
  const bool paced = answer.gap().count() > 0;
  for (std::uint64_t sent = 0; sent < count;) {
    const auto piece = answer.next(static_cast<std::size_t>(std::min<std::uint64_t>(count - sent, send_piece)));
    if (piece.empty()) return false;  // the answer ran out before count: nothing left to send
    sent += piece.size();
    // A paced byte must leave at once: MSG_MORE would hold it back for the next one.
    if (!send_all(fd, piece, !paced && (sent < count || more))) return false;
    if (paced && sent < count && !wait_gap(fd, answer.gap())) return false;
  }
  return true;
}

bool carry_on_after(io_handle fd, after_answer after) {
  // The descriptor itself is closed once the connection's handler returns.
  switch (after) {
    case after_answer::drop:
      hang_up(fd);
      return false;
    case after_answer::reset:
      abort_on_close(fd);
      return false;
    case after_answer::carry_on:
    case after_answer::stall:
      break;
  }
  return true;
}

}  // namespace kobrant::sim
