// How the simulator learns that it is to stop: SIGTERM or SIGINT on POSIX (stop_posix.cpp),
// a console control event (Ctrl+C, Ctrl+Break, closing the console) on Windows
// (stop_windows.cpp).
#pragma once

namespace kobrant::sim {

// Call once, before any thread starts: on POSIX every thread must have the stop signals
// blocked so that only wait_for_stop() takes them, and a client that hangs up mid-answer must
// not end the process (SIGPIPE).
void prepare_stop();

// Returns once a stop has been asked for.
void wait_for_stop();

}  // namespace kobrant::sim
