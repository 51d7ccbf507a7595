// The tool's platform functions on Windows. File names and arguments are UTF-8 inside the tool
// and UTF-16 at the system's calls, so no name depends on the active code page.
#include "platform/platform.h"
#include "exchange/interrupt.h"
#include "io.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <io.h>
#include <windows.h>

// The C runtime's own split of the UTF-16 command line (the one it gives wmain), without
// wildcard expansion: the same rules as argv, and no shell32 to load for CommandLineToArgvW.
struct c_runtime_startup {
  int new_mode;
};
extern "C" int __cdecl __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                                      int expand_wildcards, c_runtime_startup* startup);

namespace {

std::wstring to_utf16(const char* text) {
  const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length);
  wide.pop_back();  // the terminating zero the count included
  return wide;
}

std::string to_utf8(const wchar_t* text) {
  const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
  narrow.pop_back();
  return narrow;
}

HANDLE handle_of(std::FILE* file) { return reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(file))); }

// A UTF-8 name that does not convert (invalid bytes) names no file.
bool valid_name(const char* path, const std::wstring& wide) { return *path == '\0' || !wide.empty(); }

}  // namespace

void read_arguments(int argc, char** argv, program_arguments& arguments) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  c_runtime_startup startup{};
  if (__wgetmainargs(&count, &wide, &environment, 0, &startup) < 0 || !wide) {
    // Without the wide copy, the arguments as the runtime gave them.
    arguments.count = argc;
    arguments.values = argv;
    return;
  }
  arguments.texts.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.texts.push_back(to_utf8(wide[i]));
  for (std::string& text : arguments.texts) arguments.pointers.push_back(text.data());
  arguments.pointers.push_back(nullptr);
  arguments.count = count;
  arguments.values = arguments.pointers.data();
}

// A standard stream the process was started without (no handle at all, as from a detached
// parent) is opened on NUL: otherwise every message would fail to print and a successful run
// would end reporting that it cannot write its output. The streams stay in text mode, the
// console's convention: a line ends in CR LF, also when the output goes to a file or a pipe, as
// it did for the classic Windows program.
bool prepare_standard_streams() {
  struct standard { DWORD id; std::FILE* stream; const char* mode; };
  const standard streams[] = {{STD_INPUT_HANDLE, stdin, "r"},
                              {STD_OUTPUT_HANDLE, stdout, "w"},
                              {STD_ERROR_HANDLE, stderr, "w"}};
  for (const standard& s : streams) {
    HANDLE handle = ::GetStdHandle(s.id);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE && ::_fileno(s.stream) >= 0) continue;
    if (!std::freopen("NUL", s.mode, s.stream)) return false;
  }
  return true;
}

std::FILE* open_file(const char* path, const char* mode) {
  const std::wstring wide_path = to_utf16(path);
  if (!valid_name(path, wide_path)) {
    errno = EINVAL;
    return nullptr;
  }
  return ::_wfopen(wide_path.c_str(), to_utf16(mode).c_str());
}

bool names_directory(const char* path) {
  const std::wstring wide_path = to_utf16(path);
  if (wide_path.empty()) return false;
  const DWORD attributes = ::GetFileAttributesW(wide_path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool describe_file(std::FILE* file, file_facts& facts) {
  HANDLE handle = handle_of(file);
  if (handle == INVALID_HANDLE_VALUE) return false;
  facts = file_facts{};
  if (::GetFileType(handle) != FILE_TYPE_DISK) return true;  // a console, a pipe, a device
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) return false;
  facts.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.regular = !facts.directory;
  if (facts.regular) {
    facts.size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }
  return true;
}

// The same file is the same volume serial number and file index, whichever name reached it.
bool is_same_file(std::FILE* file, const char* path) {
  HANDLE open_one = handle_of(file);
  if (open_one == INVALID_HANDLE_VALUE || ::GetFileType(open_one) != FILE_TYPE_DISK) return false;
  const std::wstring wide_path = to_utf16(path);
  if (wide_path.empty()) return false;
  // No access asked, every sharing allowed: this opens even a file another program holds.
  HANDLE named = ::CreateFileW(wide_path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (named == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION a{};
  BY_HANDLE_FILE_INFORMATION b{};
  const bool known = ::GetFileInformationByHandle(open_one, &a) && ::GetFileInformationByHandle(named, &b);
  ::CloseHandle(named);
  return known && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
         a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// A console window, not merely a character device: NUL is one too, and the CRT's _isatty says
// yes to it.
bool is_terminal(std::FILE* stream) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle_of(stream), &mode) != 0;
}

// Interrupt handling for a run. The console calls the handler on a thread of its own, so it
// notes the interrupt and gives the built-in library's interrupt wake-up, which ends a wait
// in progress there at once (as a signal does on POSIX); the run sees the note at its next
// check, takes the wake-up back so its closing steps can wait again, delivers what arrived and
// ends. (An installed VISA library's waits know nothing of it and run to their timeout.) A
// second Ctrl-C or Ctrl-Break goes on to the system's handler, which ends the process at once.
// When the console window closes (or the user logs off), the system ends the process
// as soon as the handler returns; the handler therefore waits, giving the run the few seconds
// the system allows to close its files and sessions.
namespace {

std::atomic<int> caught{0};
std::atomic<bool> calmed{false};

BOOL WINAPI note_interrupt(DWORD event) {
  int signal = SIGTERM;
  if (event == CTRL_C_EVENT) signal = SIGINT;
  if (event == CTRL_BREAK_EVENT) signal = SIGBREAK;
  // The wake-up before the note: the run, once it sees the note, takes the wake-up back and
  // must find it given, or a late one would end the waits of its closing steps.
  if (caught.load() == 0) kobrant::visa::interrupt_waits();
  int none = 0;
  const bool first = caught.compare_exchange_strong(none, signal);
  if (signal != SIGTERM) return first ? TRUE : FALSE;
  // The process ends when the run is over (end_if_interrupted) or when the system's grace
  // period is.
  for (;;) ::Sleep(INFINITE);
}

}  // namespace

void catch_interrupts() {
  // Without the wake-up (the system gave no sockets) an interrupt still ends the run, after
  // the wait under way.
  kobrant::visa::prepare_interrupt_wake();
  ::SetConsoleCtrlHandler(note_interrupt, TRUE);
}

int interrupt_signal() {
  const int signal = caught.load();
  if (signal != 0 && !calmed.exchange(true)) kobrant::visa::calm_interrupt_waits();
  return signal;
}

// Ends with the status the system's own handler gives a console program stopped by Ctrl-C or
// Ctrl-Break.
void end_if_interrupted() {
  if (caught.load() == 0) return;
  std::fflush(nullptr);
  ::ExitProcess(STATUS_CONTROL_C_EXIT);
}
