// Interrupts during a run: the handlers only note the interrupt, the run stops at its next
// check and still delivers and reports what arrived, and the process then ends as the interrupt
// would have ended it, so a shell sees an interrupt rather than an ordinary failure. Kept per
// platform in src/platform/: SIGINT, SIGTERM and SIGHUP on POSIX; Ctrl-C, Ctrl-Break and the
// console window closing on Windows.
#pragma once

// Installs the handlers. On POSIX without SA_RESTART, so a wait in the library ends at once, and
// with SA_RESETHAND; on either platform a second interrupt of the same kind ends the process at
// once.
void catch_interrupts();

// The signal that asked the run to stop (SIGINT, SIGBREAK or SIGTERM for the console events
// on Windows), or 0. After the first call that sees one, no further wake-ups disturb the run's
// closing steps.
int interrupt_signal();

// When an interrupt was caught, ends the process as that interrupt ends it by default.
void end_if_interrupted();
