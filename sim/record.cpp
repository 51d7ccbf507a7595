// Writes the message record (see record.h for the line format).
#include "record.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

namespace kobrant::sim {

record::record(const std::string& path)
    : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {
  if (!fd_) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
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
  if (!fd_) return;
  const std::string line = format_line(transport, end, message);
  // A regular file takes the whole line in one write(); the loop only matters on a full disk
  // or a signal, where finishing the line beats leaving half of it.
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(fd_.get(), line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::fprintf(stderr, "kobrant-sim: cannot write the record: %s\n",
                   n < 0 ? std::strerror(errno) : "no space");
      return;
    }
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace kobrant::sim
