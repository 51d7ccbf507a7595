// Interrupts (SIGINT, SIGTERM, SIGHUP) during a run: the handlers only note the signal, the
// run stops at its next check and still delivers and reports what arrived, and the process
// then ends by the same signal, so a shell sees an interrupt rather than an ordinary failure.
#pragma once

// Installs the handlers, without SA_RESTART so a wait in the library ends at once, and with
// SA_RESETHAND so a second signal of the same kind ends the process at once.
void catch_interrupts();

// The signal that asked the run to stop, or 0. After the first call that sees one, no
// further wake-ups disturb the run's closing steps.
int interrupt_signal();

// When a signal was caught, ends the process by it, with its default action.
void end_if_interrupted();
