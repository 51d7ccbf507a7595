// The simulated instrument's behaviour, apart from any transport: what it answers to one
// message. Every server (raw socket, VXI-11, HiSLIP, serial) feeds it the messages it received
// and sends the answer in pieces of the size its protocol wants, at the pace the answer asks,
// and ends the connection the way the answer asks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kobrant::sim {

// What the connection does once an answer is out.
enum class after_answer {
  carry_on,  // serve the next message
  stall,     // keep the connection open but never answer again
  drop,      // close the connection in order (FIN)
  reset,     // abort the connection (TCP reset); a serial line vanishes as for drop
};

// The generated payloads; byte i of each is a function of i alone.
enum class pattern {
  binary,  // i % 256: every byte value, 0x00 and 0x0A included
  text,    // 'A' + i % 26
};

// One answer: a literal head, an optional generated body and a literal tail, handed out in
// pieces that point into fixed pattern buffers, so a block of nearly a gigabyte is never
// held in memory.
class response {
 public:
  response() = default;  // no answer at all
  static response literal(std::string text, after_answer after = after_answer::carry_on);
  static response generated(std::string head, pattern body, std::uint64_t body_len,
                            std::string tail, after_answer after = after_answer::carry_on);

  // Sends the answer one byte at a time, gap apart: next() then hands out single bytes, and
  // the server waits gap (ended early only by its own stop) before asking for the next one.
  void paced(std::chrono::milliseconds gap) { gap_ = gap; }
  std::chrono::milliseconds gap() const { return gap_; }

  std::uint64_t size() const { return head_.size() + body_len_ + tail_.size(); }
  bool done() const { return sent_ == size(); }
  after_answer after() const { return after_; }

  // The next piece, at most max_len bytes (max_len > 0; one byte for a paced answer), empty
  // once done. A piece never spans head, body and tail, and stays valid until the next call or
  // until the response is gone.
  std::span<const std::byte> next(std::size_t max_len);

 private:
  std::string head_;
  pattern body_ = pattern::text;
  std::uint64_t body_len_ = 0;
  std::string tail_;
  after_answer after_ = after_answer::carry_on;
  std::chrono::milliseconds gap_{0};
  std::uint64_t sent_ = 0;
};

// The instrument as one client sees it. A session holds the little state a connection has
// (whether it has stalled); each connection owns one, so clients never see each other.
class instrument_session {
 public:
  // message: the bytes of one message as received, its final newline included if it had one.
  response respond(std::span<const std::byte> message);

  // The status byte's bits that the instrument sets itself (STATUS n). The server adds MAV
  // (message available) while an answer waits, as only it knows when one has been taken.
  std::uint8_t status_bits() const { return status_bits_; }

  // Largest count that BLOCK?, TEXT?, STALL?, DROP?, RESET? and DRIP? accept.
  static constexpr std::uint64_t max_count = 999'999'999;
  // Longest gap between two bytes of DRIP?: a dripping answer must still let a stopping
  // server and a test end in reasonable time.
  static constexpr std::uint64_t max_drip_gap_ms = 60'000;

 private:
  bool stalled_ = false;
  std::uint8_t status_bits_ = 0;
};

// Bit 4 of the status byte: an answer is waiting to be read.
inline constexpr std::uint8_t status_mav = 0x10;

}  // namespace kobrant::sim
