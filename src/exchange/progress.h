// The progress line of a long transfer into the output file: bytes received, rate and elapsed
// time on one line of standard error, rewritten in place. Only for a terminal: scripts and pipes
// see nothing of it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

struct progress_line {
  bool enabled = false;
  std::chrono::steady_clock::time_point start{};
  std::chrono::steady_clock::time_point shown_at{};  // when the line was last written
  std::size_t width = 0;                               // its length on screen; 0 when none
};

// Starts the clock; the line is enabled only for a transfer into the output file while standard
// error is a terminal.
void progress_begin(progress_line& line, bool into_file);

// Shows the running total once the transfer has lasted half a second, then at most ten times a
// second.
void progress_update(progress_line& line, std::uint64_t received);

// Blanks the line and returns the cursor to its start, so what follows prints on a clean line.
void progress_erase(progress_line& line);

// "<amount> received, <amount>/s, <seconds> s", amounts in B, KiB, MiB or GiB.
std::string progress_text(std::uint64_t received, std::chrono::milliseconds elapsed);
