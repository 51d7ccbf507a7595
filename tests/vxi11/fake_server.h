// A scripted VXI-11 server for the client's tests: a port mapper on 127.0.0.1:111 that names
// the core channel's port (or answers as told), and a core channel whose one connection runs a
// test's script call by call. Written apart from the library's own encoder, so that the two
// cannot share a misreading of the protocol. Needs the test's private network namespace.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kobrant::test {

std::string xdr_u32(std::uint32_t v);
std::string xdr_opaque(const std::string& bytes);  // length, bytes, padding

// One call as the server received it.
struct rpc_call {
  std::uint32_t xid = 0, prog = 0, vers = 0, proc = 0;
  std::vector<std::uint32_t> words;  // the fixed arguments
  std::string opaque;                // create_link's device name, device_write's data
  bool closed = false;               // the client closed instead of calling
};

// The server's end of one core connection, for a script to drive.
class core_peer {
 public:
  explicit core_peer(int fd) : fd_(fd) {}
  // The next call; closed set when the client went away (or sent a record no call fits).
  rpc_call next_call();
  // An accepted reply to call with results, split into fragments of at most fragment bytes.
  void reply(const rpc_call& call, const std::string& results, std::size_t fragment = 1 << 30);
  void send_raw(const std::string& bytes);
  // Answers create_link with link id 1 and the given maxRecvSize.
  rpc_call accept_link(std::uint32_t max_recv_size = 1024);
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string read_results(std::uint32_t error, std::uint32_t reason, const std::string& data);
// An accepted reply's body (no record mark).
std::string reply_body(std::uint32_t xid, const std::string& results);
// The body as one record, in fragments of at most fragment bytes.
std::string as_record(const std::string& body, std::size_t fragment = 1 << 30);

class fake_server {
 public:
  struct options {
    std::optional<std::uint32_t> getport_answer;  // instead of the core channel's port
    bool mapper_listens = true;
    bool mapper_answers = true;  // false: it reads the call and says nothing
  };
  using script = std::function<void(core_peer&)>;

  explicit fake_server(script run, options opts);
  explicit fake_server(script run) : fake_server(std::move(run), options{}) {}
  ~fake_server();
  fake_server(const fake_server&) = delete;
  fake_server& operator=(const fake_server&) = delete;

  std::string resource(const std::string& device = "") const;
  // Waits for the script to finish (it does once the client closes the connection).
  void join();
  std::vector<rpc_call> mapper_calls() const;

 private:
  void serve_mapper();
  options options_;
  int mapper_fd_ = -1;
  int core_fd_ = -1;
  int connection_fd_ = -1;
  std::uint16_t core_port_ = 0;
  std::thread mapper_thread_, core_thread_;
  mutable std::mutex mutex_;
  std::vector<rpc_call> mapper_calls_;
  bool stopping_ = false;
};

}  // namespace kobrant::test
