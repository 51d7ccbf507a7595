// Expected simulator output and file helpers for the tests (see patterns.h).
#include "patterns.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace kobrant::test {

std::string binary_pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(i % 256);
  return bytes;
}

std::string text_pattern(std::size_t n) {
  std::string bytes(n, '\0');
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<char>('A' + i % 26);
  return bytes;
}

std::string block_answer(std::size_t n) {
  const std::string digits = std::to_string(n);
  // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "#" + std::string.
  std::string answer = "#";
  answer += std::to_string(digits.size());
  answer += digits;
  answer += binary_pattern(n);
  answer += '\n';
  return answer;
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

std::string first_difference(std::string_view expected, std::string_view actual) {
  std::size_t i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) ++i;
  if (i == expected.size() && i == actual.size()) return "same";
  return "sizes " + std::to_string(expected.size()) + " expected, " +
         std::to_string(actual.size()) + " actual; first difference at byte " +
         std::to_string(i);
}

}  // namespace kobrant::test
