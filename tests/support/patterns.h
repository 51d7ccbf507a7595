// What the simulated instrument sends, computed independently of the simulator, and small
// file helpers, so tests compare whole outputs byte for byte.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace kobrant::test {

inline constexpr std::string_view identification = "KOBRANT,SIM-1,0,1.0\n";

// n bytes, byte i = i % 256 (BLOCK? data).
std::string binary_pattern(std::size_t n);
// n bytes, byte i = 'A' + i % 26 (TEXT?, STALL?, DROP?).
std::string text_pattern(std::size_t n);
// Lines of letters without '?', each ending in a newline, total bytes long (a command file
// that asks nothing).
std::string text_lines(std::size_t total, std::size_t line_length);
// The whole answer to "BLOCK? n": "#<digits of n><n>", the data, a newline.
std::string block_answer(std::size_t n);

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, std::string_view bytes);

// Where two byte strings first differ, for readable failure messages ("same" if equal).
std::string first_difference(std::string_view expected, std::string_view actual);

}  // namespace kobrant::test
