// Writes the message record (see record.h for the line format).
#include "record.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace kobrant::sim {

record::record(const std::string& path) : file_(std::fopen(path.c_str(), "ab")) {
  if (!file_) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  // Unbuffered: each line reaches the file in one write as it is appended, so a reader sees
  // whole lines at once, and lines from several connections never interleave.
  std::setvbuf(file_.get(), nullptr, _IONBF, 0);
}

std::string record::format_line(std::string_view transport, bool end,
                                std::span<const std::byte> message) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string line;
  line.reserve(transport.size() + 6 + 2 * message.size());
  line.append(transport);
  line.append(end ? " END " : " - ");
  for (const std::byte b : message) {
    const auto v = static_cast<unsigned>(b);
    line.push_back(digits[v >> 4]);
    line.push_back(digits[v & 0xF]);
  }
  line.push_back('\n');
  return line;
}

void record::append(std::string_view transport, bool end,
                    std::span<const std::byte> message) const {
  if (!file_) return;
  const std::string line = format_line(transport, end, message);
  // fwrite() finishes a line a signal or a full pipe cut short, and holds the stream's lock
  // meanwhile; only a failure leaves part of it.
  if (std::fwrite(line.data(), 1, line.size(), file_.get()) != line.size()) {
    std::fprintf(stderr, "kobrant-sim: cannot write the record: %s\n", std::strerror(errno));
  }
}

}  // namespace kobrant::sim
