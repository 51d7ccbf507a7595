// Finding an installed VISA library. Only the platform loader's own search decides (on Linux the
// library path and cache, so a vendor package's libvisa.so.0 is found as a linked program would
// find it); no variable or file of ours takes part.
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

void* load(const char* name) { return ::dlopen(name, RTLD_NOW | RTLD_LOCAL); }
void* symbol(void* library, const char* name) { return ::dlsym(library, name); }
void unload(void* library) { ::dlclose(library); }

}  // namespace

const visa_api* installed_visa() {
  static const visa_api* const found =
      load_installed_visa(candidates, std::size(candidates), {load, symbol, unload});
  return found;
}

}  // namespace kobrant::tool
