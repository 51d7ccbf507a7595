// kobrant: sends a command to an instrument through VISA and prints or stores its answer.
// With no argument at all it prints its usage and the instruments it can find.
#include "cli/options.h"
#include "cli/usage.h"
#include "exchange/interrupt.h"
#include "exchange/listing.h"
#include "exchange/run.h"
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (!prepare_standard_streams()) return -2;
  program_arguments arguments;
  read_arguments(argc, argv, arguments);
  if (arguments.count <= 1) {
    int result = usage_help();
    print_list();
    return result;
  }
  run_options options = parse_options(arguments.count, arguments.values);
  std::string reason;
  if (!check_options(options, &reason)) return reject_arguments(reason);
  catch_interrupts();
  int result = run_exchange(options);
  // A console that refuses the output (a full disk behind a redirection) must not pass for
  // success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "Cannot write to standard output: %s\n", std::strerror(errno));
    if (result == 0) result = -2;
  }
  // Everything is delivered, reported and closed: now the interrupt takes its course.
  end_if_interrupted();
  return result;
}
