// ASRL INSTR on Windows: an instrument on a COM port (ASRLn::INSTR is COMn, see
// serial_ports.h). The line carries only bytes: no END, no device clear. The core adds the
// newline that ends a message and finds where a response ends. The port is opened without
// sharing, with the line settings of the VISA serial attributes in its DCB (serial_line.h).
// Every transfer is overlapped: a write bounded by the port's own timeout set from the
// deadline, a read taking what is queued and looking again after short pauses until the
// deadline. Both end early when the session's wake-up or the process's interrupt wake-up fires.
#include "serial_line.h"
#include "serial_ports.h"
#include "transport.h"

#include <windows.h>

#include <algorithm>
#include <mutex>

namespace kobrant::visa {
namespace {

// Longest pause between two looks at the output queue while waiting for it to drain.
constexpr int max_drain_pause_ms = 20;

// Longest pause between two looks for received bytes while a read waits for them.
constexpr int max_read_pause_ms = 10;

// How long a read that the port's timeouts say returns at once may stay pending before it is
// cancelled as having found nothing.
constexpr DWORD immediate_read_guard_ms = 50;

// The longest timeout a COMMTIMEOUTS field can hold short of MAXDWORD, which means "none".
constexpr DWORD longest_timeout_ms = MAXDWORD - 1;

enum class stage { open, io };

ViStatus to_status(DWORD error, stage at) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: case ERROR_PATH_NOT_FOUND: case ERROR_INVALID_NAME: case ERROR_BAD_PATHNAME:
      return VI_ERROR_RSRC_NFOUND;
    case ERROR_DEVICE_NOT_CONNECTED: case ERROR_DEVICE_REMOVED: case ERROR_BAD_COMMAND: case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE: case ERROR_OPERATION_ABORTED: case ERROR_IO_DEVICE: case ERROR_NOT_READY:
    // What wine reports once the device behind the port has hung up.
    case ERROR_BROKEN_PIPE:
      return at == stage::open ? VI_ERROR_RSRC_NFOUND : VI_ERROR_CONN_LOST;
    // A COM port another program holds answers "access denied": it is busy, not forbidden.
    case ERROR_ACCESS_DENIED: case ERROR_SHARING_VIOLATION:
      return VI_ERROR_RSRC_BUSY;
    case ERROR_NOT_ENOUGH_MEMORY: case ERROR_OUTOFMEMORY: case ERROR_NO_SYSTEM_RESOURCES:
      return VI_ERROR_ALLOC;
    default:
      return VI_ERROR_IO;
  }
}

// One owner per handle, closed once.
class unique_handle {
 public:
  unique_handle() = default;
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;
  ~unique_handle() { reset(); }
  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != INVALID_HANDLE_VALUE; }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

DWORD timeout_of(const deadline& until) {
  if (until.infinite()) return longest_timeout_ms;
  // 0 would mean "no timeout" in a total-timeout field: one millisecond is the nearest bound.
  return static_cast<DWORD>(std::max(until.poll_ms(), 1));
}

class serial_transport final : public transport {
 public:
  ViStatus open(const resource_name& name, const deadline&) override {
    std::string path = std::get<asrl_address>(name.address).device_path;
    if (path.empty()) {
      auto device = serial::com_device(name.board);
      if (!device) return VI_ERROR_INTF_NUM_NCONFIG;
      path = std::move(*device);
    }
    event_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event_) return VI_ERROR_ALLOC;
    // No sharing: two programs writing one port would interleave their commands.
    port_.reset(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr));
    if (!port_) return to_status(::GetLastError(), stage::open);
    // Only a character device can be a serial port (not a file or pipe named by mistake).
    if (::GetFileType(port_.get()) != FILE_TYPE_CHAR) {
      port_.reset();
      return VI_ERROR_RSRC_NFOUND;
    }
    DCB line{};
    line.DCBlength = sizeof line;
    if (!::GetCommState(port_.get(), &line)) return VI_ERROR_RSRC_NFOUND;
    serial::make_default_line(line);
    if (ViStatus status = apply_line(line); status < 0) {
      // A port that cannot take the defaults cannot be used as documented.
      return status == VI_ERROR_NSUP_ATTR_STATE ? VI_ERROR_INV_SETUP : status;
    }
    // Whatever the port received before this session is a stale answer to someone else.
    ::PurgeComm(port_.get(), PURGE_RXCLEAR | PURGE_RXABORT);
    return VI_SUCCESS;
  }

  ViStatus write(std::span<const std::byte> data, std::span<const std::byte> tail, bool,
                 const deadline& until, std::size_t& written) override {
    written = 0;
    if (!port_) return VI_ERROR_CONN_LOST;
    ViStatus status = VI_SUCCESS;
    for (int which = 0; which < 2; ++which) {
      const auto piece = which == 0 ? data : tail;
      std::size_t done = 0;
      while (status >= 0 && done < piece.size()) {
        DWORD moved = 0;
        status = transfer(false, const_cast<std::byte*>(piece.data() + done),
                          std::min<std::size_t>(piece.size() - done, 1u << 30), until, moved);
        done += moved;
        if (status >= 0 && moved == 0) status = VI_ERROR_TMO;
      }
      if (which == 0) written = done;
    }
    if (status >= 0) status = drain(until);
    output_pending_ = status < 0;
    return status;
  }

  ViStatus read(std::span<std::byte> space, const read_rules&, const deadline& until,
                std::size_t& count, bool& end) override {
    end = false;
    count = 0;
    if (!port_) return VI_ERROR_CONN_LOST;
    if (space.empty()) return VI_SUCCESS;
    DWORD moved = 0;
    const ViStatus status = read_some(space.data(), std::min<std::size_t>(space.size(), 1u << 30), until, moved);
    count = moved;
    if (status < 0) return status;
    return moved > 0 ? VI_SUCCESS : VI_ERROR_TMO;
  }

  ViStatus clear(const deadline& until) override {
    // A serial line has no device clear: discard what either side has queued, then what still
    // arrives until the line has been quiet a moment (the rest of an answer on its way).
    if (!port_) return VI_ERROR_CONN_LOST;
    if (!::PurgeComm(port_.get(), PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT)) {
      return to_status(::GetLastError(), stage::io);
    }
    output_pending_ = false;
    std::byte scratch[4096];
    for (;;) {
      const int quiet = until.infinite() ? clear_quiet_ms : std::min(clear_quiet_ms, until.poll_ms());
      DWORD moved = 0;
      const ViStatus status = read_some(scratch, sizeof scratch, deadline::after_ms(quiet, until.wake()), moved);
      if (status < 0) return status;
      if (moved == 0) return VI_SUCCESS;
      if (until.expired()) return VI_ERROR_TMO;  // still arriving: the line never went quiet
    }
  }

  void close() noexcept override {
    if (!port_) return;
    // Bytes a failed write left queued would hold the close until they are sent.
    if (output_pending_) ::PurgeComm(port_.get(), PURGE_TXCLEAR | PURGE_TXABORT);
    release();
  }

  void drop() noexcept override { release(); }

  ViStatus set_attribute(ViAttr attr, ViAttrState value) override {
    if (serial::is_line_attribute(attr)) {
      DCB next = line_;
      if (ViStatus status = serial::set_line_attribute(next, attr, value); status < 0) return status;
      return apply_line(next);
    }
    if (attr == VI_ATTR_ASRL_AVAIL_NUM) return VI_ERROR_ATTR_READONLY;
    if (serial::modem_line_bit(attr)) {
      if (!serial::is_settable_modem_line(attr)) return VI_ERROR_ATTR_READONLY;
      if (value != ViAttrState(VI_STATE_ASSERTED) && value != ViAttrState(VI_STATE_UNASSERTED))
        return VI_ERROR_NSUP_ATTR_STATE;
      if (!port_) return VI_ERROR_CONN_LOST;
      const bool on = value == ViAttrState(VI_STATE_ASSERTED);
      const bool dtr = attr == VI_ATTR_ASRL_DTR_STATE;
      const DWORD function = dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
      if (!::EscapeCommFunction(port_.get(), function)) return VI_ERROR_NSUP_ATTR_STATE;
      (dtr ? dtr_ : rts_) = on;
      return VI_SUCCESS;
    }
    return not_mine;
  }

  ViStatus get_attribute(ViAttr attr, void* out) override {
    if (serial::is_line_attribute(attr)) return serial::get_line_attribute(line_, attr, out);
    if (attr == VI_ATTR_ASRL_AVAIL_NUM) {
      if (!port_) return VI_ERROR_CONN_LOST;
      DWORD errors = 0;
      COMSTAT state{};
      if (!::ClearCommError(port_.get(), &errors, &state)) return to_status(::GetLastError(), stage::io);
      *static_cast<ViUInt32*>(out) = state.cbInQue;
      return VI_SUCCESS;
    }
    if (serial::modem_line_bit(attr)) {
      // DTR and RTS are outputs the system does not report back: they read as last set, and
      // as unknown before that (the port may have been left either way).
      ViInt16 state = VI_STATE_UNKNOWN;
      if (attr == VI_ATTR_ASRL_DTR_STATE || attr == VI_ATTR_ASRL_RTS_STATE) {
        const int known = attr == VI_ATTR_ASRL_DTR_STATE ? dtr_ : rts_;
        if (known >= 0) state = known ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
      } else {
        DWORD lines = 0;
        if (port_ && ::GetCommModemStatus(port_.get(), &lines))
          state = lines & static_cast<DWORD>(serial::modem_line_bit(attr)) ? VI_STATE_ASSERTED : VI_STATE_UNASSERTED;
      }
      *static_cast<ViInt16*>(out) = state;
      return VI_SUCCESS;
    }
    return not_mine;
  }

 private:
  void release() noexcept {
    port_.reset();
    if (event_) ::CloseHandle(event_);
    event_ = nullptr;
  }

  // Sets the port to line and reads it back: a driver may accept a change it carries out
  // only in part. On a mismatch the port gets its previous settings back and the value is
  // refused.
  ViStatus apply_line(const DCB& line) {
    DCB before{};
    before.DCBlength = sizeof before;
    if (!::GetCommState(port_.get(), &before)) return to_status(::GetLastError(), stage::io);
    DCB wanted = line;
    if (!::SetCommState(port_.get(), &wanted)) {
      const DWORD error = ::GetLastError();
      return error == ERROR_INVALID_PARAMETER || error == ERROR_NOT_SUPPORTED ? VI_ERROR_NSUP_ATTR_STATE
                                                                              : to_status(error, stage::io);
    }
    DCB actual{};
    actual.DCBlength = sizeof actual;
    if (!::GetCommState(port_.get(), &actual)) return to_status(::GetLastError(), stage::io);
    if (!serial::same_line_settings(actual, line)) {
      ::SetCommState(port_.get(), &before);
      return VI_ERROR_NSUP_ATTR_STATE;
    }
    std::lock_guard lock(line_mutex_);
    line_ = actual;
    return VI_SUCCESS;
  }

  // Reads what the port has received, at most size bytes; when nothing is there, looks again
  // after growing pauses (up to max_read_pause_ms) until bytes come or the deadline passes, a
  // wake-up ending the wait. The port's own "first byte or time up" read (MAXDWORD, MAXDWORD,
  // t) is not used: wine, where the Windows build is tested, takes its multiplier literally
  // and waits for the whole buffer.
  ViStatus read_some(std::byte* bytes, std::size_t size, const deadline& until, DWORD& moved) {
    for (int pause = 1;; pause = std::min(2 * pause, max_read_pause_ms)) {
      if (ViStatus status = transfer(true, bytes, size, until, moved); status < 0 || moved > 0) return status;
      if (until.expired()) return VI_SUCCESS;
      const int wait = until.infinite() ? pause : std::min(pause, std::max(until.poll_ms(), 1));
      if (ViStatus status = pause_ms(wait, until); status < 0) return status;
    }
  }

  // One overlapped read or write of at most size bytes: a read returns at once with what is
  // queued (MAXDWORD, 0, 0); a write returns when all went to the driver or the port's
  // timeout, set from the deadline, is up. A wake-up (the session's, or an interrupt) cancels
  // it.
  ViStatus transfer(bool reading, std::byte* bytes, std::size_t size, const deadline& until, DWORD& moved) {
    moved = 0;
    COMMTIMEOUTS timeouts{};
    if (reading) {
      timeouts.ReadIntervalTimeout = MAXDWORD;
    } else {
      timeouts.WriteTotalTimeoutConstant = timeout_of(until);
    }
    if (!::SetCommTimeouts(port_.get(), &timeouts)) return to_status(::GetLastError(), stage::io);
    OVERLAPPED pending{};
    ::ResetEvent(event_);
    pending.hEvent = event_;
    const DWORD length = static_cast<DWORD>(size);
    const BOOL done = reading ? ::ReadFile(port_.get(), bytes, length, nullptr, &pending)
                              : ::WriteFile(port_.get(), bytes, length, nullptr, &pending);
    if (!done && ::GetLastError() != ERROR_IO_PENDING) return to_status(::GetLastError(), stage::io);
    bool woken = false;
    if (!done) {
      // The transfer's own event first: when it and a wake-up are set together, the bytes win.
      HANDLE waits[3] = {event_};
      const DWORD count = 1 + static_cast<DWORD>(wake_events(until, waits + 1));
      const DWORD which = ::WaitForMultipleObjects(count, waits, FALSE, reading ? immediate_read_guard_ms : INFINITE);
      if (which > WAIT_OBJECT_0 && which < WAIT_OBJECT_0 + count) {
        woken = true;
        ::CancelIoEx(port_.get(), &pending);
      } else if (which == WAIT_TIMEOUT) {
        ::CancelIoEx(port_.get(), &pending);
      }
    }
    if (!::GetOverlappedResult(port_.get(), &pending, &moved, TRUE)) {
      const DWORD error = ::GetLastError();
      // A read cancelled by the guard found nothing.
      if (error != ERROR_OPERATION_ABORTED || !(woken || reading)) return to_status(error, stage::io);
    }
    // Bytes that arrived before the wake-up are delivered; the next call sees it.
    return woken && moved == 0 ? VI_ERROR_ABORT : VI_SUCCESS;
  }

  // Waits until the bytes handed to the driver have left the port, so the timeout bounds the
  // whole transfer (flow control holding them back is a timeout, not a silent success).
  ViStatus drain(const deadline& until) {
    for (;;) {
      DWORD errors = 0;
      COMSTAT state{};
      // A port that cannot tell is taken as drained.
      if (!::ClearCommError(port_.get(), &errors, &state) || state.cbOutQue == 0) return VI_SUCCESS;
      if (until.expired()) return VI_ERROR_TMO;
      unsigned need = 0;
      {
        std::lock_guard lock(line_mutex_);
        need = serial::transmit_ms(line_, state.cbOutQue);
      }
      int pause = std::max(static_cast<int>(std::min<unsigned>(need, max_drain_pause_ms)), 1);
      if (!until.infinite()) pause = std::min(pause, std::max(until.poll_ms(), 1));
      if (ViStatus status = pause_ms(pause, until); status < 0) return status;
    }
  }

  unique_handle port_;
  HANDLE event_ = nullptr;  // signals the completion of the overlapped transfer under way
  // The settings the port has now; attribute calls change them while a write may be draining.
  std::mutex line_mutex_;
  DCB line_{};
  int dtr_ = -1;  // DTR and RTS as last set: 1, 0, or -1 not yet
  int rts_ = -1;
  bool output_pending_ = false;  // the last write failed with bytes still queued
};

std::unique_ptr<transport> make_serial_transport() { return std::make_unique<serial_transport>(); }

void list_serial_ports(std::vector<std::string>& names) {
  for (const unsigned port : serial::find_com_ports()) names.push_back("ASRL" + std::to_string(port) + "::INSTR");
}

}  // namespace

constinit const transport_entry serial_transport_entry{
    VI_INTF_ASRL, "INSTR", address_index<asrl_address>, "serial", false, &make_serial_transport, &list_serial_ports};

}  // namespace kobrant::visa
