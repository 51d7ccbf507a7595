// Interrupt handling for a run. A signal that lands while the library waits ends that wait
// (the library reports VI_ERROR_ABORT with what arrived). One that lands between two calls, or
// in the instant after a call's last check and before its wait begins, would leave that wait
// to run its full timeout; so the handler also starts a short repeating timer whose signal
// (caught without SA_RESTART, doing nothing) ends any such wait within a tick, until the run
// has noticed the interrupt.
#include "exchange/interrupt.h"

#include <csignal>
#include <initializer_list>
#include <sys/time.h>

namespace {

volatile std::sig_atomic_t caught = 0;

constexpr long wake_up_interval_us = 50'000;

void note_interrupt(int signal) {
  caught = signal;
  struct sigaction wake{};
  wake.sa_handler = [](int) {};
  sigemptyset(&wake.sa_mask);
  sigaction(SIGALRM, &wake, nullptr);
  itimerval tick{{0, wake_up_interval_us}, {0, wake_up_interval_us}};
  setitimer(ITIMER_REAL, &tick, nullptr);
}

void stop_wake_ups() {
  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
}

}  // namespace

void catch_interrupts() {
  struct sigaction action{};
  action.sa_handler = note_interrupt;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  // Another of them arriving while the first is handled waits until the handler is done.
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, s);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &action, nullptr);
}

int interrupt_signal() {
  const int signal = caught;
  if (signal != 0) stop_wake_ups();
  return signal;
}

void end_if_interrupted() {
  const int signal = caught;
  if (signal == 0) return;
  stop_wake_ups();
  std::signal(signal, SIG_DFL);
  sigset_t only{};
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  std::raise(signal);
}
