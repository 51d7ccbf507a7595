// kobrant: sends a command to an instrument through VISA and prints or stores its answer.
// With no argument at all it prints its usage and the instruments it can find.
#include "cli/options.h"
#include "cli/usage.h"
#include "exchange/interrupt.h"
#include "exchange/listing.h"
#include "exchange/run.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace {

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed. Otherwise the next file or
// socket opened takes its number: an /o= file on descriptor 1 would get the echo lines mixed
// into the raw data, and a socket on descriptor 2 would receive the status line. Going up from
// 0, the lowest free descriptor is always the one being filled.
bool open_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd < 0) return false;
    if (null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!open_standard_descriptors()) return -2;
  if (argc <= 1) {
    int result = usage_help();
    print_list();
    return result;
  }
  run_options options = parse_options(argc, argv);
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
