// The tool's VISA interface: every VISA operation the tool calls, as one table of entry points.
// The table is filled once per process, from an installed VISA library when the platform's
// loader finds one where vendor installations put it (so a run behaves as a program linked
// against that library would), otherwise from the built-in library linked into the tool.
#pragma once

#include <kobrant/visa.h>

namespace kobrant::tool {

struct visa_api {
  ViStatus (*open_default_rm)(ViPSession);
  ViStatus (*find_rsrc)(ViSession, ViConstString, ViPFindList, ViPUInt32, ViChar*);
  ViStatus (*find_next)(ViFindList, ViChar*);
  ViStatus (*open)(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession);
  ViStatus (*close)(ViObject);
  ViStatus (*set_attribute)(ViObject, ViAttr, ViAttrState);
  ViStatus (*get_attribute)(ViObject, ViAttr, void*);
  ViStatus (*write)(ViSession, ViConstBuf, ViUInt32, ViPUInt32);
  ViStatus (*read)(ViSession, ViBuf, ViUInt32, ViPUInt32);
  ViStatus (*clear)(ViSession);
  ViStatus (*status_desc)(ViObject, ViStatus, ViChar*);
};

// The library that answers this process's calls, chosen on first use.
const visa_api& visa();

// The installed library's entry points, looked for once per process (installed_visa.cpp);
// nullptr when there is none, when it lacks one of the table's calls, or when it is kobrant's
// own library under a vendor's file name.
const visa_api* installed_visa();

}  // namespace kobrant::tool
