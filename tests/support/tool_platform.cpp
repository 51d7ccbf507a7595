// What differs when the kobrant under test is the Windows build (see tool_platform.h).
#include "tool_platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

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

std::string tool_serial_resource(const std::string& resource) {
  const char* port = std::getenv("KOBRANT_TEST_COM");
  const char* prefix = std::getenv("WINEPREFIX");
  constexpr std::string_view head = "ASRL/";
  constexpr std::string_view tail = "::INSTR";
  if (!tool_is_windows() || !port || !*port || !prefix || !*prefix || !resource.starts_with(head) ||
      !resource.ends_with(tail)) {
    return resource;
  }
  const std::string device = resource.substr(4, resource.size() - 4 - tail.size());
  // Made beside the link and renamed over it: wine never sees the port name missing.
  const std::filesystem::path link = std::filesystem::path(prefix) / "dosdevices" / ("com" + std::string(port));
  const std::filesystem::path fresh = link.string() + ".new";
  std::error_code error;
  std::filesystem::remove(fresh, error);
  std::filesystem::create_symlink(device, fresh, error);
  if (!error) std::filesystem::rename(fresh, link, error);
  if (error) throw std::runtime_error("cannot link " + link.string() + " to " + device + ": " + error.message());
  return "ASRL" + std::string(port) + std::string(tail);
}

}  // namespace kobrant::test
