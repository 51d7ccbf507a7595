// Finding an installed VISA library. Only the platform loader's own search decides (on Linux the
// library path and cache, so a vendor package's libvisa.so.0 is found as a linked program would
// find it); no variable or file of ours takes part.
#include "visa/loader_search.h"
#include "visa/visa_api.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace kobrant::tool {
namespace {

#if defined(_WIN32)
const char* const candidates[] = {sizeof(void*) == 8 ? "visa64.dll" : "visa32.dll", "visa32.dll"};
using handle_t = HMODULE;
handle_t load(const char* name) { return ::LoadLibraryA(name); }
void* symbol(handle_t h, const char* name) { return reinterpret_cast<void*>(::GetProcAddress(h, name)); }
void unload(handle_t h) { ::FreeLibrary(h); }
#else
#if defined(__APPLE__)
const char* const candidates[] = {"/Library/Frameworks/VISA.framework/VISA", "libvisa.dylib"};
#else
// The run-time name vendor packages install; each extra name costs a walk of the loader path
// on every run.
const char* const candidates[] = {"libvisa.so.0"};
#endif
using handle_t = void*;
// The file the loader would take, opened by its full path: most runs find none, and the
// loader's own failing search would look in every folder's processor-specific subfolders.
handle_t load(const char* name) {
  bool ask_the_loader = false;
  for (const std::string& path : find_like_the_loader(name, ask_the_loader)) {
    if (handle_t h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
  }
  return ask_the_loader ? ::dlopen(name, RTLD_NOW | RTLD_LOCAL) : nullptr;
}
void* symbol(handle_t h, const char* name) { return ::dlsym(h, name); }
void unload(handle_t h) { ::dlclose(h); }
#endif

template <typename Fn>
bool bind(handle_t h, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(symbol(h, name));
  return out != nullptr;
}

bool bind_all(handle_t h, visa_api& api) {
  return bind(h, "viOpenDefaultRM", api.open_default_rm) && bind(h, "viFindRsrc", api.find_rsrc) &&
         bind(h, "viFindNext", api.find_next) && bind(h, "viOpen", api.open) &&
         bind(h, "viClose", api.close) && bind(h, "viSetAttribute", api.set_attribute) &&
         bind(h, "viGetAttribute", api.get_attribute) && bind(h, "viWrite", api.write) &&
         bind(h, "viRead", api.read) && bind(h, "viClear", api.clear) &&
         bind(h, "viStatusDesc", api.status_desc);
}

// The installed library stays loaded for the life of the process.
const visa_api* look_for_installed() {
  static visa_api loaded{};
  for (const char* name : candidates) {
    handle_t h = load(name);
    if (!h) continue;
    // Our own shared library, installed under a vendor's name, would only answer as the
    // built-in does; use the built-in directly.
    if (symbol(h, "kobrant_visa_builtin") || !bind_all(h, loaded)) {
      unload(h);
      continue;
    }
    return &loaded;
  }
  return nullptr;
}

}  // namespace

const visa_api* installed_visa() {
  static const visa_api* const found = look_for_installed();
  return found;
}

}  // namespace kobrant::tool
