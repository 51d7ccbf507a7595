// The tool's VISA interface: every VISA operation the tool calls, as one table of entry points.
// The table is filled once per process, from an installed VISA library when the platform's
// loader finds one where vendor installations put it (so a run behaves as a program linked
// against that library would), otherwise from the built-in library linked into the tool.
#pragma once

#include <kobrant/visa.h>

#include <cstddef>

namespace kobrant::tool {

// The entry points carry the library's calling convention (_VI_FUNC: __stdcall on 32-bit
// Windows), so an installed library's functions are called as it exports them.
struct visa_api {
  ViStatus(_VI_FUNC* open_default_rm)(ViPSession);
  ViStatus(_VI_FUNC* find_rsrc)(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*);
  ViStatus(_VI_FUNC* find_next)(ViFindList, ViChar*);
  ViStatus(_VI_FUNC* open)(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession);
  ViStatus(_VI_FUNC* close)(ViObject);
  ViStatus(_VI_FUNC* set_attribute)(ViObject, ViAttr, ViAttrState);
  ViStatus(_VI_FUNC* get_attribute)(ViObject, ViAttr, void*);
  ViStatus(_VI_FUNC* write)(ViSession, ViConstBuf, ViUInt32, ViPUInt32);
  ViStatus(_VI_FUNC* read)(ViSession, ViBuf, ViUInt32, ViPUInt32);
  ViStatus(_VI_FUNC* clear)(ViSession);
  ViStatus(_VI_FUNC* status_desc)(ViObject, ViStatus, ViChar*);
};

// The library that answers this process's calls, chosen on first use.
const visa_api& visa();

// Finds an exported symbol of a loaded library by name; null when the library has none.
using symbol_lookup = void* (*)(void* library, const char* name);

// The platform loader's calls: load a library by name (null when it cannot), find an exported
// symbol, unload.
struct library_loader {
  void* (*load)(const char* name);
  symbol_lookup lookup;
  void (*unload)(void* library);
};

// Loads the first of names that the loader finds and that has every entry point of the table,
// and keeps it loaded for the life of the process. Passed over: a library lacking one of them,
// and kobrant's own library under a vendor's file name (it would only answer as the built-in
// does, which the tool then uses directly). Null when none is left.
const visa_api* load_installed_visa(const char* const* names, std::size_t count, const library_loader& loader);

// The installed library's entry points, looked for once per process (installed_visa.cpp on
// POSIX, installed_visa_windows.cpp on Windows);
// nullptr when there is none, when it lacks one of the table's calls, or when it is kobrant's
// own library under a vendor's file name.
const visa_api* installed_visa();

}  // namespace kobrant::tool
