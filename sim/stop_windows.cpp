// Stopping on Windows (see stop.h): the console control handler runs on a thread of its own,
// which only sets an event the main thread waits on. Windows has no SIGPIPE: a send to a
// client that left fails with an error.
#include "stop.h"

#include <windows.h>

namespace kobrant::sim {
namespace {

HANDLE stop_requested = nullptr;

BOOL WINAPI on_control(DWORD) {
  ::SetEvent(stop_requested);
  // Closing the console ends the process once the handler returns: give the main thread a
  // moment to stop the servers first.
  ::Sleep(200);
  return TRUE;
}

}  // namespace

void prepare_stop() {
  stop_requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(&on_control, TRUE);
}

void wait_for_stop() {
  if (stop_requested) ::WaitForSingleObject(stop_requested, INFINITE);
}

}  // namespace kobrant::sim
