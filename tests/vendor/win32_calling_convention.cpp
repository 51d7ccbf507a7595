// Compiled for 32-bit Windows only (no code runs): the VISA operations are declared __stdcall,
// as vendor libraries export them, and a pointer of the default convention does not fit them,
// so a table that forgot _VI_FUNC would not compile.
#include <kobrant/visa.h>

#include <type_traits>

#if !defined(_WIN32) || defined(_WIN64)
#error "for 32-bit Windows only"
#endif

static_assert(std::is_same_v<decltype(&viOpen),
                             ViStatus(__stdcall*)(ViSession, ViConstRsrc, ViAccessMode, ViUInt32, ViPSession)>);
static_assert(std::is_same_v<decltype(&viRead), ViStatus(__stdcall*)(ViSession, ViBuf, ViUInt32, ViPUInt32)>);
static_assert(!std::is_convertible_v<decltype(&viClose), ViStatus (*)(ViObject)>);
static_assert(std::is_convertible_v<decltype(&viClose), ViStatus(_VI_FUNC*)(ViObject)>);
