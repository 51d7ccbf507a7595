// The command line of a run: the switches, their defaults and the checks that accept or reject
// them.
#pragma once

#include <cstdint>
#include <string>

inline constexpr std::uint32_t default_buffer_size = 204810;  // bytes per write and per read
inline constexpr std::uint32_t default_timeout_ms = 5000;

// Filled from the arguments and never changed after check_options. Text fields point into the
// argument vector itself; a present value may be empty.
struct run_options {
  const char* address = nullptr;       // /a=
  const char* command = nullptr;       // /c=, the command or the name of a file holding it
  const char* output_path = nullptr;   // /o=
  const char* buffer_text = nullptr;   // /b= as typed
  const char* timeout_text = nullptr;  // /t= as typed
  bool no_echo = false;                // /l
  bool force_read = false;             // /r
  bool no_auto_query = false;          // /w
  std::uint32_t buffer_size = default_buffer_size;
  std::uint32_t timeout_ms = default_timeout_ms;
};

// Scans every argument after the program name; unknown arguments are ignored and the last
// occurrence of a switch wins.
run_options parse_options(int argc, char** argv);

// Converts /b= and /t= and decides whether the run can go ahead. When it cannot and reason is
// given, reason receives one short line saying why (the first check that failed).
bool check_options(run_options& options, std::string* reason = nullptr);

// Refuses the run: "bad argument" on standard output, the reason on standard error. Returns -1,
// the program's status for rejected arguments.
int reject_arguments(const std::string& reason);

// A text made only of decimal digits (the empty text reads as 0) whose value fits 32 bits.
bool parse_decimal_u32(const char* text, std::uint32_t& value);
