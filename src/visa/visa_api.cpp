// Choosing the library: the installed one when there is one, else the built-in one's own
// functions, linked statically into the tool.
#include "visa/visa_api.h"

namespace kobrant::tool {
namespace {

constexpr visa_api builtin{viOpenDefaultRM, viFindRsrc, viFindNext,     viOpen,
                           viClose,         viSetAttribute, viGetAttribute, viWrite,
                           viRead,          viClear,        viStatusDesc};

template <typename Fn>
bool bind(void* library, symbol_lookup lookup, const char* name, Fn& out) {
  out = reinterpret_cast<Fn>(lookup(library, name));
  return out != nullptr;
}

bool bind_all(void* library, symbol_lookup lookup, visa_api& api) {
  if (lookup(library, "kobrant_visa_builtin")) return false;
  return bind(library, lookup, "viOpenDefaultRM", api.open_default_rm) &&
         bind(library, lookup, "viFindRsrc", api.find_rsrc) &&
         bind(library, lookup, "viFindNext", api.find_next) &&
         bind(library, lookup, "viOpen", api.open) && bind(library, lookup, "viClose", api.close) &&
         bind(library, lookup, "viSetAttribute", api.set_attribute) &&
         bind(library, lookup, "viGetAttribute", api.get_attribute) &&
         bind(library, lookup, "viWrite", api.write) && bind(library, lookup, "viRead", api.read) &&
         bind(library, lookup, "viClear", api.clear) &&
         bind(library, lookup, "viStatusDesc", api.status_desc);
}

}  // namespace

const visa_api* load_installed_visa(const char* const* names, std::size_t count, const library_loader& loader) {
  static visa_api loaded{};
  for (std::size_t i = 0; i < count; ++i) {
    void* library = loader.load(names[i]);
    if (!library) continue;
    if (bind_all(library, loader.lookup, loaded)) return &loaded;
    loader.unload(library);
  }
  return nullptr;
}

const visa_api& visa() {
  static const visa_api* const chosen = [] {
    const visa_api* installed = installed_visa();
    return installed ? installed : &builtin;
  }();
  return *chosen;
}

}  // namespace kobrant::tool
