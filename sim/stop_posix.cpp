// Stopping on POSIX (see stop.h): the stop signals are blocked in every thread and taken here
// by sigwait(), so no handler runs in the middle of a server's work.
#include "stop.h"

#include <pthread.h>
#include <signal.h>

namespace kobrant::sim {
namespace {

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

}  // namespace

void prepare_stop() {
  // Threads inherit the mask, so it is set before any server starts one.
  const sigset_t set = stop_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

void wait_for_stop() {
  const sigset_t set = stop_signals();
  int signal_number = 0;
  while (sigwait(&set, &signal_number) != 0) {
  }
}

}  // namespace kobrant::sim
