// Putting an instrument's answer on a stream, the same for every transport: the bytes in large
// pieces (or one at a time, gap apart, when the answer is paced), then what the answer asks of
// the connection (carry on, hang up, reset). Each server adds its own framing around the bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "instrument.h"
#include "tcp.h"

namespace kobrant::sim {

// Large sends keep a big block's system calls few; the kernel copies at most what fits.
inline constexpr std::size_t send_piece = std::size_t{1} << 20;

// Sends the next count bytes of answer. A paced answer goes out byte by byte, each at once and
// gap apart (no gap after the last of the count); otherwise more says whether further bytes of
// the same message follow, so the kernel may hold back a partial segment. False once the peer
// is gone or the server is stopping.
bool send_answer_bytes(io_handle fd, response& answer, std::uint64_t count, bool more);

// Does to the connection what the end of an answer asks: a drop hangs up in order (FIN), a
// reset makes the coming close abortive. True when the connection carries on.
bool carry_on_after(io_handle fd, after_answer after);

}  // namespace kobrant::sim
