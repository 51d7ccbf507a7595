// Run sequence and failure reporting.
#include "exchange/run.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <sys/stat.h>

namespace {

constexpr ViUInt32 open_timeout_ms = 5000;  // whatever /t= says

void close_file(std::FILE*& file) {
  if (file) std::fclose(file);
  file = nullptr;
}

// The single failure path: releases what is held and prints one report.
int fail(exchange_state& state) {
  state.work_buffer.reset();
  if (state.failure_message.empty()) {
    report_visa_status(state.vi, state.status);
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", state.failure_message.c_str());
  }
  if (state.rm != VI_NULL) viClose(state.rm);
  state.rm = state.vi = VI_NULL;
  close_file(state.command_file);
  close_file(state.output_file);
  return -2;
}

// Decides where the command comes from. A name that opens as a file is the file; anything
// else is the text itself. Returns false for a directory, which cannot hold a command.
bool probe_command_source(const run_options& options, exchange_state& state) {
  std::FILE* file = std::fopen(options.command, "r");
  if (!file) {
    state.command_length = std::strlen(options.command);
    return true;
  }
  struct stat info {};
  if (::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(file);
    return false;
  }
  state.command_file = file;
  state.command_is_file = true;
  // A regular file that reports no size may still have content (files under /proc and /sys
  // do): it is read to its end instead; an empty file sends nothing either way.
  if (S_ISREG(info.st_mode) && info.st_size > 0) {
    state.command_length = static_cast<std::uint64_t>(info.st_size);
  } else {
    state.command_is_stream = true;
  }
  return true;
}

}  // namespace

std::unique_ptr<char[]> take_buffer(std::uint64_t size) {
  if (size >= SIZE_MAX) return nullptr;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]);
  if (buffer) buffer[size] = '\0';
  return buffer;
}

void report_visa_status(ViSession vi, ViStatus status) {
  char description[513] = {};
  viStatusDesc(vi, status, description);
  description[sizeof description - 1] = '\0';
  std::fflush(stdout);  // keep the report after whatever the run already printed
  std::fprintf(stderr, "VISA Status (%d): %s\n", static_cast<int>(status), description);
}

int run_exchange(const run_options& options) {
  exchange_state state;

  if (options.output_path) {
    state.output_file = std::fopen(options.output_path, "wb");
    if (!state.output_file) {
      std::puts("bad argument");
      return -1;
    }
    // Pieces are written whole, straight to the file: a stdio buffer would only split each one.
    std::setvbuf(state.output_file, nullptr, _IONBF, 0);
  }

  if (options.command && !probe_command_source(options, state)) {
    std::fprintf(stderr, "The command names a directory, not a file: %s\n", options.command);
    std::puts("bad argument");
    close_file(state.output_file);
    return -1;
  }

  state.status = viOpenDefaultRM(&state.rm);
  if (state.status < VI_SUCCESS) return fail(state);

  state.status = viOpen(state.rm, options.address, VI_NULL, open_timeout_ms, &state.vi);
  if (state.status < VI_SUCCESS) return fail(state);

  state.status = viSetAttribute(state.vi, VI_ATTR_TMO_VALUE, options.timeout_ms);
  if (state.status < VI_SUCCESS) return fail(state);

  if (options.command) {
    state.status = send_command(options, state);
    if (state.status < VI_SUCCESS) return fail(state);
  }

  state.status = read_response(options, state);
  if (state.status < VI_SUCCESS) return fail(state);

  if (state.output_file) {
    // Data still buffered reaches the disk only here, so a full disk shows up now.
    std::FILE* file = state.output_file;
    state.output_file = nullptr;
    if (std::fclose(file) != 0) {
      state.failure_message = std::string("Cannot write the output file ") + options.output_path +
                              ": " + std::strerror(errno);
      state.status = VI_ERROR_IO;
      return fail(state);
    }
  }
  viClose(state.rm);
  return 0;
}
