// Finding an installed VISA library on Windows: visa64.dll (a 64-bit build also accepts
// visa32.dll, which 64-bit vendor installations also place there) or visa32.dll, loaded from
// the system directory only. The current directory, the program's directory and PATH never
// take part, so a DLL of that name dropped beside a command file or on the path is not loaded.
#include "visa/visa_api.h"

#include <iterator>
#include <windows.h>

namespace kobrant::tool {
namespace {

#if defined(_WIN64)
const char* const candidates[] = {"visa64.dll", "visa32.dll"};
#else
const char* const candidates[] = {"visa32.dll"};
#endif

// The system directory alone, for the library and for the libraries it imports.
void* load(const char* name) { return ::LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32); }
void* symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}
void unload(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace

const visa_api* installed_visa() {
  static const visa_api* const found =
      load_installed_visa(candidates, std::size(candidates), {load, symbol, unload});
  return found;
}

}  // namespace kobrant::tool
