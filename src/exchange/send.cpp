// Command transmission: one write when the command fits the buffer, otherwise buffer-sized
// writes with END held back until the last one. Each write is echoed unless /l is given.
#include "exchange/interrupt.h"
#include "exchange/run.h"
#include "visa/visa_api.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

using kobrant::tool::visa;

namespace {

// "<address> <- <text>" with the text cut at its first zero byte.
void echo(const run_options& options, const char* data, std::uint64_t size) {
  if (options.no_echo) return;
  std::fputs(options.address, stdout);
  std::fputs(" <- ", stdout);
  const void* zero = std::memchr(data, '\0', size);
  std::size_t shown = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - data) : size;
  std::fwrite(data, 1, shown, stdout);
  std::fputc('\n', stdout);
}

ViStatus set_send_end(const exchange_state& state, bool on) {
  return visa().set_attribute(state.vi, VI_ATTR_SEND_END_EN, on ? VI_TRUE : VI_FALSE);
}

// One write, echoed once it went out.
ViStatus write_chunk(const run_options& options, const exchange_state& state, const char* data,
                     ViUInt32 size) {
  if (interrupt_signal()) return VI_ERROR_ABORT;
  ViUInt32 written = 0;
  ViStatus status = visa().write(state.vi, reinterpret_cast<ViConstBuf>(data), size, &written);
  if (status >= VI_SUCCESS) echo(options, data, size);
  return interrupt_signal() && status >= VI_SUCCESS ? VI_ERROR_ABORT : status;
}

ViStatus send_text(const run_options& options, const exchange_state& state, send_result& result) {
  const char* text = options.command;
  const std::uint64_t length = state.command_length;
  const std::uint64_t chunk = options.buffer_size;
  result.query_seen = std::strchr(text, '?') != nullptr;

  if (length <= chunk) return write_chunk(options, state, text, static_cast<ViUInt32>(length));

  ViStatus status = set_send_end(state, false);
  if (status < VI_SUCCESS) return status;
  std::uint64_t offset = 0;
  while (offset < length - chunk) {
    status = write_chunk(options, state, text + offset, options.buffer_size);
    if (status < VI_SUCCESS) return status;
    offset += chunk;
  }
  status = set_send_end(state, true);
  if (status < VI_SUCCESS) return status;
  return write_chunk(options, state, text + offset, static_cast<ViUInt32>(length - offset));
}

// True when the stream has nothing more to give; leaves the stream where it was otherwise.
bool at_end(std::FILE* file) {
  int c = std::getc(file);
  if (c == EOF) return true;
  std::ungetc(c, file);
  return false;
}

// A command file goes out as the bytes actually read from it. A regular file is sent up to the
// size it had when the run began; anything else (a pipe, /dev/stdin) is read to its end. The
// END indicator goes with the last bytes sent, however the file's length turned out.
ViStatus send_file(const run_options& options, exchange_state& state, send_result& result) {
  const bool stream = state.command_is_stream;
  const std::uint64_t planned = state.command_length;
  const std::uint64_t buffer_size = command_piece_size(options, state);
  if (!hold_work_buffer(state, buffer_size)) return VI_ERROR_ALLOC;
  char* buffer = state.work_buffer.get();

  std::uint64_t sent = 0;
  bool chunked = false;
  for (;;) {
    const std::uint64_t want = stream ? buffer_size : std::min(buffer_size, planned - sent);
    const std::size_t got = std::fread(buffer, 1, static_cast<std::size_t>(want), state.command_file);
    if (std::ferror(state.command_file)) {
      result.failure_message = std::string("Cannot read the command file ") + options.command +
                              ": " + std::strerror(errno);
      return VI_ERROR_IO;
    }
    buffer[got] = '\0';
    if (!result.query_seen && std::strchr(buffer, '?')) result.query_seen = true;

    const bool last = got < want || (!stream && sent + got >= planned) || at_end(state.command_file);
    if (!last && !chunked) {
      ViStatus status = set_send_end(state, false);
      if (status < VI_SUCCESS) return status;
      chunked = true;
    } else if (last && chunked) {
      ViStatus status = set_send_end(state, true);
      if (status < VI_SUCCESS) return status;
    }
    ViStatus status = write_chunk(options, state, buffer, static_cast<ViUInt32>(got));
    if (status < VI_SUCCESS || last) {
      if (status >= VI_SUCCESS) {
        std::fclose(state.command_file);
        state.command_file = nullptr;
      }
      return status;
    }
    sent += got;
  }
}

}  // namespace

send_result send_command(const run_options& options, exchange_state& state) {
  send_result result;
  result.status = state.command_is_file ? send_file(options, state, result) : send_text(options, state, result);
  return result;
}
