// Response reception: reads buffer-sized pieces until the library no longer reports that more
// may follow, delivering each to the output file, to the console bare (/l), or to the console as
// "<address> -> <text>" lines.
#include "exchange/interrupt.h"
#include "visa/visa_api.h"
#include "exchange/progress.h"
#include "exchange/run.h"

#include <cerrno>
#include <cstring>

using kobrant::tool::visa;

namespace {

// Returns false when the output file refuses the bytes.
bool deliver(const run_options& options, exchange_state& state, const char* piece) {
  if (state.output_file) {
    if (state.ret_count == 0) return true;
    if (std::fwrite(piece, 1, state.ret_count, state.output_file) == state.ret_count) return true;
    state.failure_message = std::string("Cannot write the output file ") + options.output_path +
                            ": " + std::strerror(errno);
    return false;
  }
  if (options.no_echo) {
    std::fputs(piece, stdout);
  } else {
    std::printf("%s -> %s\n", options.address, piece);
  }
  return true;
}

}  // namespace

ViStatus read_response(const run_options& options, exchange_state& state) {
  const bool due = !options.no_auto_query && (state.query_seen || options.force_read);
  if (!due) return VI_SUCCESS;

  if (!hold_work_buffer(state, options.buffer_size)) return VI_ERROR_ALLOC;
  char* buffer = state.work_buffer.get();

  progress_line progress;
  progress_begin(progress, state.output_file != nullptr);
  std::uint64_t received = 0;
  ViStatus status;
  do {
    state.ret_count = 0;
    if (interrupt_signal()) {
      status = VI_ERROR_ABORT;
      break;
    }
    status = visa().read(state.vi, reinterpret_cast<ViBuf>(buffer), options.buffer_size, &state.ret_count);
    // An interrupt stops the run here, once this piece is delivered, however the read ended.
    if (interrupt_signal() && status >= VI_SUCCESS) status = VI_ERROR_ABORT;
    if (state.ret_count > options.buffer_size) state.ret_count = options.buffer_size;
    // The terminator right after the piece: the console sinks print up to the first zero byte.
    buffer[state.ret_count] = '\0';
    // Bytes that arrived before a failure (a timeout mid-response, a dropped connection, an
    // interrupt) are delivered too: they are all the user will get of that response.
    if ((status >= VI_SUCCESS || state.ret_count > 0) && !deliver(options, state, buffer)) {
      status = VI_ERROR_IO;
      break;
    }
    received += state.ret_count;
    progress_update(progress, received);
  } while (status == VI_SUCCESS_MAX_CNT);
  // Whatever ends the transfer, the status line or the shell prompt starts on a clean line.
  progress_erase(progress);

  if (status >= VI_SUCCESS) state.work_buffer.reset();
  return status;
}
