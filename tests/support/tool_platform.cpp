// What differs when the kobrant under test is the Windows build (see tool_platform.h).
#include "tool_platform.h"

#include <gtest/gtest.h>

namespace kobrant::test {

std::string from_console_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool bare_newline = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;  // the CR text mode added
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) bare_newline = true;
    out.push_back(text[i]);
  }
  if (bare_newline) ADD_FAILURE() << "console output with an LF not written as CR LF: \"" << text << "\"";
  return out;
}

}  // namespace kobrant::test
