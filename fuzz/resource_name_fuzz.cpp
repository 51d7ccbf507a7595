// Arbitrary resource names: the parser must refuse or accept without a fault, and a name it
// accepts must parse again, from its canonical form, to the same canonical form.
#include "resource_name.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace kobrant::visa;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  resource_name first;
  if (parse_resource_name(text, first) != VI_SUCCESS) return 0;
  if (std::holds_alternative<std::monostate>(first.address)) return 0;
  resource_name again;
  if (parse_resource_name(first.canonical, again) != VI_SUCCESS) std::abort();
  if (again.canonical != first.canonical || again.address.index() != first.address.index()) std::abort();
  return 0;
}
