// The message record: one line per message the simulated instrument received, appended to a
// file so that a test can check what a client really sent, byte for byte and with its END.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace kobrant::sim {

// Each line reads "<transport> <end> <hex>\n": transport as the server names it (SOCKET,
// VXI11, HISLIP, SERIAL), end "END" when the protocol marked the message's last byte with END
// and "-" otherwise, hex the message's bytes in lower case. Servers on many threads append to
// one record; each line is one unbuffered fwrite() to a file opened for appending, so lines
// never interleave.
class record {
 public:
  record() = default;  // records nothing
  // Opens (creating if needed) the file to append to; throws std::system_error on failure.
  explicit record(const std::string& path);

  // Call before answering the message, so a client holding its answer can already read the
  // line. A failed write is reported on stderr and does not stop the server.
  void append(std::string_view transport, bool end, std::span<const std::byte> message) const;

  // The line append() writes, newline included.
  static std::string format_line(std::string_view transport, bool end,
                                 std::span<const std::byte> message);

 private:
  struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, file_closer> file_;
};

}  // namespace kobrant::sim
