// Run sequence and failure reporting.
#include "exchange/run.h"
#include "platform/platform.h"
#include "visa/visa_api.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

using kobrant::tool::visa;

namespace {

constexpr ViUInt32 open_timeout_ms = 5000;  // whatever /t= says

// The buffer of a run at the default size, in the program's zero-initialised data: a heap
// buffer that large is a mapping made and undone on every run, and here only the pages an
// exchange touches are ever backed by memory. One run at a time holds it; another gets the heap.
alignas(64) char default_work_buffer[default_buffer_size + 1];
std::atomic<bool> default_work_buffer_held{false};

void close_file(std::FILE*& file) {
  if (file) std::fclose(file);
  file = nullptr;
}

// The single failure path: releases what is held and prints one report.
int fail(exchange_state& state) {
  state.work_buffer.reset();
  state.work_size = 0;
  if (state.failure_message.empty()) {
    report_visa_status(state.vi, state.status);
  } else {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", state.failure_message.c_str());
  }
  if (state.rm != VI_NULL) visa().close(state.rm);
  state.rm = state.vi = VI_NULL;
  close_file(state.command_file);
  close_file(state.output_file);
  return -2;
}

// Decides where the command comes from. A name that opens as a file is the file; anything
// else is the text itself. Returns false for a directory, which cannot hold a command. The file
// is read in binary mode: the command is the bytes it holds, carriage returns, 0x1A and zero
// bytes included.
bool probe_command_source(const run_options& options, exchange_state& state) {
  std::FILE* file = open_file(options.command, "rb");
  if (!file) {
    // Some systems refuse to open a directory as a file at all. Nothing at all of that name
    // (the usual case: the command is text) needs no second look.
    if (errno != ENOENT && names_directory(options.command)) return false;
    state.command_length = std::strlen(options.command);
    return true;
  }
  file_facts facts;
  const bool described = describe_file(file, facts);
  if (described && facts.directory) {
    std::fclose(file);
    return false;
  }
  state.command_file = file;
  state.command_is_file = true;
  // A regular file that reports no size may still have content (files under /proc and /sys
  // do): it is read to its end instead; an empty file sends nothing either way.
  if (described && facts.regular && facts.size > 0) {
    state.command_length = facts.size;
  } else {
    state.command_is_stream = true;
  }
  return true;
}

// True when creating the output file would destroy the command before it is sent: both names
// lead to the same regular file (also through a link or another spelling of the path). A
// terminal or a pipe reached under two names, as /dev/stdin and /dev/stdout, loses nothing.
bool output_is_command_file(const char* output_path, const exchange_state& state) {
  return state.command_file && is_same_file(state.command_file, output_path);
}

// The buffer the run needs: a read may follow when the command is a query (a command file can
// only tell once it is read) or /r forces it; a command file alone needs one piece of it.
std::uint64_t run_buffer_size(const run_options& options, const exchange_state& state) {
  const bool query_possible =
      options.command && (state.command_is_file || std::strchr(options.command, '?'));
  if (!options.no_auto_query && (options.force_read || query_possible)) return options.buffer_size;
  return state.command_is_file ? command_piece_size(options, state) : 0;
}

}  // namespace

void work_buffer_release::operator()(char* buffer) const {
  if (buffer == default_work_buffer) default_work_buffer_held = false;
  else delete[] buffer;
}

bool hold_work_buffer(exchange_state& state, std::uint64_t size) {
  if (state.work_buffer && state.work_size >= size) return true;
  state.work_buffer.reset();
  state.work_size = 0;
  if (size >= SIZE_MAX) return false;
  if (size <= default_buffer_size && !default_work_buffer_held.exchange(true)) {
    state.work_buffer.reset(default_work_buffer);
  } else {
    state.work_buffer.reset(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]);
  }
  if (!state.work_buffer) return false;
  state.work_buffer[size] = '\0';
  state.work_size = size;
  return true;
}

std::uint64_t command_piece_size(const run_options& options, const exchange_state& state) {
  if (state.command_is_stream) return options.buffer_size;
  return std::min<std::uint64_t>(state.command_length, options.buffer_size);
}

void report_visa_status(ViSession vi, ViStatus status) {
  char description[513] = {};
  visa().status_desc(vi, status, description);
  description[sizeof description - 1] = '\0';
  std::fflush(stdout);  // keep the report after whatever the run already printed
  std::fprintf(stderr, "VISA Status (%d): %s\n", static_cast<int>(status), description);
}

int run_exchange(const run_options& options) {
  exchange_state state;

  // The command source is settled first, so that nothing is created or truncated for a run that
  // is refused.
  if (options.command && !probe_command_source(options, state)) {
    return reject_arguments(std::string("The command names a directory, not a file: ") +
                            options.command);
  }

  if (options.output_path) {
    if (output_is_command_file(options.output_path, state)) {
      close_file(state.command_file);
      return reject_arguments(std::string("The output file ") + options.output_path +
                              " is the command file " + options.command);
    }
    state.output_file = open_file(options.output_path, "wb");
    if (!state.output_file) {
      const int error = errno;
      close_file(state.command_file);
      return reject_arguments(std::string("Cannot create the output file ") + options.output_path +
                              ": " + std::strerror(error));
    }
    // Pieces are written whole, straight to the file: a stdio buffer would only split each one.
    std::setvbuf(state.output_file, nullptr, _IONBF, 0);
  }

  // Nothing goes out that could not be answered: a buffer the machine cannot give ends the run
  // before the instrument is reached.
  const std::uint64_t buffer_size = run_buffer_size(options, state);
  if (buffer_size > 0 && !hold_work_buffer(state, buffer_size)) {
    state.status = VI_ERROR_ALLOC;
    return fail(state);
  }
  // With /l the console gets the response alone, piece by piece: pieces larger than stdio's
  // own buffer go out whole, one write each, rather than split into a flush of that buffer and
  // the rest.
  if (!state.output_file && options.no_echo && buffer_size >= BUFSIZ) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  }

  state.status = visa().open_default_rm(&state.rm);
  if (state.status < VI_SUCCESS) return fail(state);

  state.status = visa().open(state.rm, options.address, VI_NULL, open_timeout_ms, &state.vi);
  if (state.status < VI_SUCCESS) return fail(state);

  state.status = visa().set_attribute(state.vi, VI_ATTR_TMO_VALUE, options.timeout_ms);
  if (state.status < VI_SUCCESS) return fail(state);

  bool query_seen = false;
  if (options.command) {
    send_result sent = send_command(options, state);
    state.status = sent.status;
    state.failure_message = std::move(sent.failure_message);
    if (state.status < VI_SUCCESS) return fail(state);
    query_seen = sent.query_seen;
  }

  state.status = read_response(options, state, query_seen);
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
  visa().close(state.rm);
  return 0;
}
