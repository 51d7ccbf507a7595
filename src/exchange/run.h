// The run sequence: opens the files and the VISA sessions, sends the command, reads the
// response, and closes everything on every path; any failure leaves through one report.
#pragma once

#include "cli/options.h"
#include <kobrant/visa.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// Gives the work buffer back: the default-sized one to the program's own store, any other to
// the heap.
struct work_buffer_release {
  void operator()(char* buffer) const;
};

// The resources and progress of one run.
struct exchange_state {
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  std::FILE* output_file = nullptr;
  std::FILE* command_file = nullptr;
  bool command_is_file = false;
  // The command file has no size to measure (a pipe, a terminal, a character device): it is
  // read to its end instead.
  bool command_is_stream = false;
  std::uint64_t command_length = 0;
  // One buffer serves the whole run: the command file goes out through it and the response
  // comes back into it. work_size bytes are usable; one more holds the terminating zero.
  std::unique_ptr<char[], work_buffer_release> work_buffer;
  std::uint64_t work_size = 0;
  ViStatus status = VI_SUCCESS;
  // Set when a failure is not the library's (the output file cannot be written, the command
  // file cannot be read): reported instead of a VISA status line.
  std::string failure_message;
};

// Runs one exchange: 0 on success, -1 when the output file cannot be created, is the command
// file itself, or the command names a directory, -2 after any failure of the exchange itself.
int run_exchange(const run_options& options);

// Prints "VISA Status (<status>): <description>" on standard error.
void report_visa_status(ViSession vi, ViStatus status);

// What sending the command found out.
struct send_result {
  ViStatus status = VI_SUCCESS;  // the last status, negative on failure
  bool query_seen = false;       // a '?' went out: an answer is due
  // Set when a failure is not the library's (the command file cannot be read).
  std::string failure_message;
};

// Sends the command (send.cpp).
send_result send_command(const run_options& options, exchange_state& state);

// Reads the response when one is due (receive.cpp): returns the last status, negative on failure
// with state.failure_message set when the fault was not the library's.
ViStatus read_response(const run_options& options, exchange_state& state, bool query_seen);

// Makes state.work_buffer hold at least size bytes and a terminating zero, keeping a buffer that
// is already large enough. False when memory is short.
bool hold_work_buffer(exchange_state& state, std::uint64_t size);

// The largest piece of the command file sent at once: the whole file when it fits the buffer.
std::uint64_t command_piece_size(const run_options& options, const exchange_state& state);
