// Feeds arbitrary responses to the end finder in pieces whose sizes come from the input, and
// checks that the end it reports does not depend on how the bytes were cut.
#include "message_end.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

using kobrant::visa::message_end;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = data[0] % 17 + 1;
  auto bytes = std::as_bytes(std::span(data + 1, size - 1));

  message_end whole;
  std::optional<std::size_t> expected = whole.feed(bytes);

  message_end cut;
  std::optional<std::size_t> found;
  for (std::size_t at = 0; at < bytes.size() && !found; at += piece) {
    auto part = bytes.subspan(at, std::min(piece, bytes.size() - at));
    if (auto stop = cut.feed(part)) found = at + *stop;
  }
  if (expected != found) std::abort();
  if (expected && *expected > bytes.size()) std::abort();
  return 0;
}
