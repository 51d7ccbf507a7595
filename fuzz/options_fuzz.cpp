// Arbitrary command lines: the input is split at zero bytes into arguments, scanned and checked.
// Whatever the arguments, an accepted run has an address, a command or /r, and a buffer of at
// least one byte.
#include "cli/options.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"kobrant"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  run_options options = parse_options(static_cast<int>(argv.size()), argv.data());
  if (check_options(options)) {
    if (!options.address || (!options.command && !options.force_read)) std::abort();
    if (options.buffer_size == 0) std::abort();
  }
  return 0;
}
