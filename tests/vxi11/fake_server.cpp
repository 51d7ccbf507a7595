// The scripted VXI-11 server of the client's tests (see fake_server.h).
#include "fake_server.h"
#include "loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace kobrant::test {
namespace {

std::uint32_t word_at(const std::string& bytes, std::size_t at) {
  const auto b = [&](std::size_t i) { return std::uint32_t(static_cast<unsigned char>(bytes[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

bool receive_record(int fd, std::string& body) {
  body.clear();
  for (;;) {
    char mark[4];
    if (!receive_exact(fd, mark, 4)) return false;
    const std::uint32_t word = word_at(std::string(mark, 4), 0);
    const std::size_t length = word & 0x7FFFFFFF;
    if (length > (64u << 20)) return false;  // larger than any test sends
    const std::size_t old = body.size();
    body.resize(old + length);
    if (!receive_exact(fd, body.data() + old, length)) return false;
    if (word & 0x80000000) return true;
  }
}

// How many fixed argument words each procedure has, and whether opaque data follows them.
bool layout_of(std::uint32_t prog, std::uint32_t proc, std::size_t& words, bool& opaque) {
  opaque = false;
  if (prog == 100000) {
    words = proc == 3 ? 4 : 0;
    return true;
  }
  switch (proc) {
    case 10: words = 3; opaque = true; return true;  // create_link
    case 11: words = 4; opaque = true; return true;  // device_write
    case 12: words = 6; return true;                 // device_read
    case 15: words = 4; return true;                 // device_clear
    case 23: words = 1; return true;                 // destroy_link
    default: return false;
  }
}

rpc_call read_call(int fd) {
  rpc_call call;
  std::string body;
  call.closed = true;
  if (!receive_record(fd, body) || body.size() < 40) return call;
  call.xid = word_at(body, 0);
  call.prog = word_at(body, 12);
  call.vers = word_at(body, 16);
  call.proc = word_at(body, 20);
  std::size_t words = 0;
  bool opaque = false;
  if (!layout_of(call.prog, call.proc, words, opaque)) return call;
  std::size_t at = 40;
  if (body.size() < at + 4 * words + (opaque ? 4 : 0)) return call;
  for (std::size_t i = 0; i < words; ++i, at += 4) call.words.push_back(word_at(body, at));
  if (opaque) {
    const std::size_t length = word_at(body, at);
    at += 4;
    if (body.size() != at + length + (4 - length % 4) % 4) return call;
    call.opaque = body.substr(at, length);
  }
  call.closed = false;
  return call;
}

void send_bytes(int fd, const std::string& bytes) {
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

}  // namespace

std::string xdr_u32(std::uint32_t v) { return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)}; }

std::string xdr_opaque(const std::string& bytes) {
  return xdr_u32(static_cast<std::uint32_t>(bytes.size())) + bytes + std::string((4 - bytes.size() % 4) % 4, '\0');
}

std::string read_results(std::uint32_t error, std::uint32_t reason, const std::string& data) {
  return xdr_u32(error) + xdr_u32(reason) + xdr_opaque(data);
}

std::string reply_body(std::uint32_t xid, const std::string& results) {
  return xdr_u32(xid) + xdr_u32(1) + xdr_u32(0) + xdr_u32(0) + xdr_u32(0) + xdr_u32(0) + results;
}

std::string as_record(const std::string& body, std::size_t fragment) {
  std::string out;
  std::size_t at = 0;
  do {
    const std::size_t n = std::min(fragment, body.size() - at);
    const bool last = at + n == body.size();
    out += xdr_u32((last ? 0x80000000u : 0u) | static_cast<std::uint32_t>(n)) + body.substr(at, n);
    at += n;
  } while (at < body.size());
  return out;
}

rpc_call core_peer::next_call() { return read_call(fd_); }

void core_peer::reply(const rpc_call& call, const std::string& results, std::size_t fragment) {
  send_bytes(fd_, as_record(reply_body(call.xid, results), fragment));
}

void core_peer::send_raw(const std::string& bytes) { send_bytes(fd_, bytes); }

rpc_call core_peer::accept_link(std::uint32_t max_recv_size) {
  rpc_call call = next_call();
  reply(call, xdr_u32(0) + xdr_u32(1) + xdr_u32(0) + xdr_u32(max_recv_size));
  return call;
}

fake_server::fake_server(script run, options opts) : options_(opts) {
  core_fd_ = listen_loopback(0);
  core_port_ = port_of(core_fd_);
  if (options_.mapper_listens) mapper_fd_ = listen_loopback(111);
  mapper_thread_ = std::thread([this] { serve_mapper(); });
  core_thread_ = std::thread([this, run = std::move(run)] {
    const int fd = ::accept4(core_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    {
      std::lock_guard lock(mutex_);
      connection_fd_ = fd;
      if (stopping_) ::shutdown(fd, SHUT_RDWR);
    }
    core_peer peer(fd);
    run(peer);
    std::lock_guard lock(mutex_);
    connection_fd_ = -1;
    ::close(fd);
  });
}

void fake_server::serve_mapper() {
  if (mapper_fd_ < 0) return;
  for (;;) {
    const int fd = ::accept4(mapper_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    for (;;) {
      rpc_call call = read_call(fd);
      if (call.closed) break;
      {
        std::lock_guard lock(mutex_);
        mapper_calls_.push_back(call);
      }
      if (!options_.mapper_answers) {
        // Stays silent until the client gives up and closes.
        char c;
        while (::recv(fd, &c, 1, 0) > 0) {
        }
        break;
      }
      send_bytes(fd, as_record(reply_body(call.xid, xdr_u32(options_.getport_answer.value_or(core_port_)))));
    }
    ::close(fd);
  }
}

void fake_server::join() {
  if (core_thread_.joinable()) core_thread_.join();
}

fake_server::~fake_server() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (connection_fd_ >= 0) ::shutdown(connection_fd_, SHUT_RDWR);
  }
  ::shutdown(core_fd_, SHUT_RDWR);
  if (mapper_fd_ >= 0) ::shutdown(mapper_fd_, SHUT_RDWR);
  join();
  mapper_thread_.join();
  ::close(core_fd_);
  if (mapper_fd_ >= 0) ::close(mapper_fd_);
}

std::string fake_server::resource(const std::string& device) const {
  return "TCPIP0::127.0.0.1" + (device.empty() ? "" : "::" + device) + "::INSTR";
}

std::vector<rpc_call> fake_server::mapper_calls() const {
  std::lock_guard lock(mutex_);
  return mapper_calls_;
}

}  // namespace kobrant::test
