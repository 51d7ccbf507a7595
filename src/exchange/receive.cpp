// Response reception: reads buffer-sized pieces until the library no longer reports that more
// may follow, delivering each to the output file, to the console bare (/l), or to the console as
// "<address> -> <text>" lines.
#include "exchange/interrupt.h"
#include "exchange/progress.h"
#include "exchange/run.h"
#include "visa/visa_api.h"

#include <cerrno>
#include <cstring>

using kobrant::tool::visa;

namespace {

// Where the response goes, chosen once per run.
enum class sink_kind { file, bare_console, echoed_console };

struct response_sink {
  sink_kind kind;
  std::FILE* file;       // the output file, for sink_kind::file
  const char* address;   // the prefix of echoed lines
};

response_sink choose_sink(const run_options& options, const exchange_state& state) {
  if (state.output_file) return {sink_kind::file, state.output_file, options.address};
  return {options.no_echo ? sink_kind::bare_console : sink_kind::echoed_console, nullptr,
          options.address};
}

// Delivers one piece of count bytes, zero-terminated right after them: the file gets every byte,
// the console sinks print up to the first zero byte. False when the file refuses the bytes.
bool deliver(const response_sink& sink, const char* piece, ViUInt32 count) {
  switch (sink.kind) {
    case sink_kind::file:
      return count == 0 || std::fwrite(piece, 1, count, sink.file) == count;
    case sink_kind::bare_console:
      std::fputs(piece, stdout);
      return true;
    case sink_kind::echoed_console:
      std::fputs(sink.address, stdout);
      std::fputs(" -> ", stdout);
      std::fputs(piece, stdout);
      std::fputc('\n', stdout);
      return true;
  }
  return true;
}

}  // namespace

ViStatus read_response(const run_options& options, exchange_state& state, bool query_seen) {
  const bool due = !options.no_auto_query && (query_seen || options.force_read);
  if (!due) return VI_SUCCESS;

  if (!hold_work_buffer(state, options.buffer_size)) return VI_ERROR_ALLOC;
  char* buffer = state.work_buffer.get();
  const response_sink sink = choose_sink(options, state);

  progress_line progress;
  progress_begin(progress, sink.kind == sink_kind::file);
  std::uint64_t received = 0;
  ViStatus status;
  do {
    ViUInt32 count = 0;
    if (interrupt_signal()) {
      status = VI_ERROR_ABORT;
      break;
    }
    status = visa().read(state.vi, reinterpret_cast<ViBuf>(buffer), options.buffer_size, &count);
    // An interrupt stops the run here, once this piece is delivered, however the read ended.
    if (interrupt_signal() && status >= VI_SUCCESS) status = VI_ERROR_ABORT;
    if (count > options.buffer_size) count = options.buffer_size;
    buffer[count] = '\0';
    // Bytes that arrived before a failure (a timeout mid-response, a dropped connection, an
    // interrupt) are delivered too: they are all the user will get of that response.
    if ((status >= VI_SUCCESS || count > 0) && !deliver(sink, buffer, count)) {
      state.failure_message = std::string("Cannot write the output file ") + options.output_path +
                              ": " + std::strerror(errno);
      status = VI_ERROR_IO;
      break;
    }
    received += count;
    progress_update(progress, received);
  } while (status == VI_SUCCESS_MAX_CNT);
  // Whatever ends the transfer, the status line or the shell prompt starts on a clean line.
  progress_erase(progress);

  if (status >= VI_SUCCESS) state.work_buffer.reset();
  return status;
}
