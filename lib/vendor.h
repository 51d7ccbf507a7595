// Pass-through to an installed VISA library. When the platform's loader finds one where vendor
// installations put it, every call of the tool goes there, as it would for a program linked
// against that library; otherwise the built-in library answers.
#pragma once

#include <kobrant/visa.h>

namespace kobrant::visa {

// The entry points of a loaded VISA library, all resolved.
struct vendor_api {
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

// The installed library, looked for once per process; nullptr when there is none (or when it
// lacks one of the calls above, or is this very library under another name).
const vendor_api* installed_vendor_visa();

}  // namespace kobrant::visa
