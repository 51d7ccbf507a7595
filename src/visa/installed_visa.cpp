// Finding an installed VISA library. Only the platform loader's own search decides (on Linux the
// library path and cache, so a vendor package's libvisa.so.0 is found as a linked program would
// find it); no variable or file of ours takes part.
#include "visa/loader_search.h"
#include "visa/visa_api.h"

#include <dlfcn.h>
#include <iterator>

namespace kobrant::tool {
namespace {

#if defined(__APPLE__)
const char* const candidates[] = {"/Library/Frameworks/VISA.framework/VISA", "libvisa.dylib"};
#else
// The run-time name vendor packages install; each extra name costs a walk of the loader path
// on every run.
const char* const candidates[] = {"libvisa.so.0"};
#endif

// The file the loader would take, opened by its full path: most runs find none, and the
// loader's own failing search would look in every folder's processor-specific subfolders.
void* load(const char* name) {
  bool ask_the_loader = false;
  for (const std::string& path : find_like_the_loader(name, ask_the_loader)) {
    if (void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
  }
  return ask_the_loader ? ::dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
}
void* symbol(void* library, const char* name) { return ::dlsym(library, name); }
void unload(void* library) { ::dlclose(library); }

}  // namespace

const visa_api* installed_visa() {
  static const visa_api* const found =
      load_installed_visa(candidates, std::size(candidates), {load, symbol, unload});
  return found;
}

}  // namespace kobrant::tool
