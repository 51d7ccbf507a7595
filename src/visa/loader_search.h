// Finding a shared library the way the Linux loader would, without asking it to: the loader's
// own failing search opens every folder's hardware-capability subfolders (well over a hundred
// paths) before it gives up, and most runs have no vendor library to find. Here the search is
// the loader's order (LD_LIBRARY_PATH unless the process runs with elevated rights, then the
// loader cache, then the system folders), each place looked at once, and the caller dlopens
// the one file found by its full path. Where this process's loader set-up is anything the
// search cannot follow exactly, it says so, and the caller lets the loader search itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kobrant::tool {

// What the loader cache says about a library name.
enum class cache_answer {
  found,   // path holds the file the loader would take from the cache
  absent,  // the cache has no entry for the name that this process could load
  unsure,  // not a cache this search can read, or the loader would choose by processor
           // features among several entries: only the loader itself can say
};

struct cache_lookup {
  cache_answer answer = cache_answer::unsure;
  std::string path;
};

// Looks name up in the bytes of a loader cache file (the format glibc's ldconfig writes,
// "glibc-ld.so.cache1.1", alone or after the old format), taking only entries whose flags are
// wanted_flags (the loader's word for "this process's kind of library"). Every count and offset
// in the file is checked against its size: a truncated or corrupt file gives unsure, never a
// read outside it.
cache_lookup look_up_loader_cache(std::span<const std::byte> file, std::string_view name,
                                  std::int32_t wanted_flags);

// Where the loader would find name, in its order: the full paths of the files that exist
// there, best first (a later one serves when an earlier one cannot be loaded). Sets
// ask_the_loader when this search cannot follow the loader here; the caller then passes the
// bare name to dlopen.
std::vector<std::string> find_like_the_loader(std::string_view name, bool& ask_the_loader);

}  // namespace kobrant::tool
