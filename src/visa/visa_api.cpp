// Choosing the library: the installed one when there is one, else the built-in one's own
// functions, linked statically into the tool.
#include "visa/visa_api.h"

namespace kobrant::tool {
namespace {

constexpr visa_api builtin{viOpenDefaultRM, viFindRsrc, viFindNext,     viOpen,
                           viClose,         viSetAttribute, viGetAttribute, viWrite,
                           viRead,          viClear,        viStatusDesc};

}  // namespace

const visa_api& visa() {
  static const visa_api* const chosen = [] {
    const visa_api* installed = installed_visa();
    return installed ? installed : &builtin;
  }();
  return *chosen;
}

}  // namespace kobrant::tool
