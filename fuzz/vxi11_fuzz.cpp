// Arbitrary bytes as the stream a VXI-11 server sends back: record marks, RPC reply heads and
// device_read data go through the transport's own reader and decoders. They must fail cleanly,
// keep within the caller's space and the excess bound, and reach the same results whether the
// bytes arrive in one piece or trickle in pieces whose size comes from the input.
#include "vxi11_wire.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

using namespace kobrant::visa;
using namespace kobrant::visa::vxi11;

namespace {

class memory_source final : public byte_source {
 public:
  memory_source(std::span<const std::byte> bytes, std::size_t chunk) : bytes_(bytes), chunk_(chunk) {}
  ViStatus receive_some(std::span<std::byte> space, std::size_t& count) override {
    count = std::min({space.size(), chunk_, bytes_.size() - pos_});
    if (count == 0) return VI_ERROR_CONN_LOST;  // the server hung up
    std::memcpy(space.data(), bytes_.data() + pos_, count);
    pos_ += count;
    return VI_SUCCESS;
  }

 private:
  std::span<const std::byte> bytes_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
};

// What one pass through the stream produced, to compare passes.
struct outcome {
  std::vector<ViStatus> statuses;
  std::vector<std::uint32_t> words;
  std::vector<std::byte> data;
  bool operator==(const outcome&) const = default;
};

// The calls a session makes, in turn, until the stream fails: a read, a write, a link.
outcome run(std::span<const std::byte> stream, std::size_t chunk, std::size_t space_size) {
  memory_source source(stream, chunk);
  record_reader reader;
  outcome out;
  std::vector<std::byte> space(space_size);
  held_bytes excess;
  for (std::uint32_t xid = 1;; ++xid) {
    ViStatus status;
    if (xid % 3 == 1) {
      read_reply reply;
      status = receive_read_reply(reader, source, xid, space, excess, reply);
      if (reply.count > space.size() || excess.size() > max_excess) std::abort();
      out.words.push_back(static_cast<std::uint32_t>(reply.error));
      out.words.push_back(reply.reason);
      out.data.insert(out.data.end(), space.begin(), space.begin() + static_cast<std::ptrdiff_t>(reply.count));
      std::vector<std::byte> held(excess.size());
      bool end = false;
      excess.take(held, end);
      out.data.insert(out.data.end(), held.begin(), held.end());
    } else {
      std::array<std::uint32_t, 4> words{};
      status = receive_reply(reader, source, xid, std::span(words).first(xid % 3 == 2 ? 2 : 4));
      out.words.insert(out.words.end(), words.begin(), words.end());
      // The reply's record stays open for data the procedure may have; these have none.
      if (status >= 0) status = reader.skip_rest(source);
    }
    out.statuses.push_back(status);
    if (status < 0 && status != VI_ERROR_NSUP_OPER && status != VI_ERROR_NPERMISSION) break;
    // A reply read to its end leaves the reader between records.
    if (reader.in_record()) std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t chunk = data[0] % 64 + 1;
  const std::size_t space_size = data[1];
  const auto stream = std::as_bytes(std::span(data + 2, size - 2));

  const reply_head head = decode_reply_head(stream);
  if (head.need > max_reply_head) std::abort();

  if (run(stream, chunk, space_size) != run(stream, stream.size() + 1, space_size)) std::abort();
  return 0;
}
