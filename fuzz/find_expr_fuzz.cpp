// Arbitrary search expressions matched against a name taken from the same input: compiling and
// matching must neither fault nor take long, whatever the expression.
#include "find_expr.h"

#include <cstdint>
#include <string_view>

using kobrant::visa::find_expr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::size_t split = all.find('\n');
  std::string_view expr = all.substr(0, split);
  std::string_view name = split == std::string_view::npos ? std::string_view() : all.substr(split + 1);
  find_expr e;
  if (find_expr::compile(expr, e) == VI_SUCCESS) (void)e.matches(name);
  return 0;
}
