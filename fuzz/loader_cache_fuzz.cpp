// Arbitrary bytes as the loader cache file: the look-up must stay inside the file whatever its
// counts, offsets and strings say, and a name it reports found must be one the file spells out.
#include "visa/loader_search.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

using kobrant::tool::cache_answer;
using kobrant::tool::look_up_loader_cache;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto file = std::as_bytes(std::span(data, size));
  for (const char* name : {"libvisa.so.0", "libc.so.6", "a", ""}) {
    for (std::int32_t flags : {0x0303, 0x0A03}) {
      const auto found = look_up_loader_cache(file, name, flags);
      if (found.answer != cache_answer::found) continue;
      // The path is a string of the file: it must occur in it, terminator and all.
      const std::string& path = found.path;
      bool present = false;
      for (std::size_t at = 0; !present && at + path.size() < size; ++at) {
        present = std::memcmp(data + at, path.data(), path.size()) == 0 && data[at + path.size()] == 0;
      }
      if (!present) std::abort();
    }
  }
  return 0;
}
