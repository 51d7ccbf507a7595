// The C API under threads, exits and forks, against kobrant-sim on every transport: a session
// closed during another thread's read (that read fails, and never with another session's
// answer), random closes among six busy threads, a process exiting while threads are still in
// the library, children of fork leaving the parent's links alone, opens racing the close of
// their manager, and attributes that never wait for a read. The VXI-11 cases serve port 111, so
// the test process runs in a network namespace of its own (see tests/vxi11).
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include "private_network.h"
#include "process.h"
#include "raw_client.h"
#include "simulator.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace kobrant::test {
namespace {

using namespace std::chrono_literals;

struct transport_case {
  const char* name;
  std::vector<std::string> sim_args;
  bool needs_private_network;  // serves the port mapper on 111
  bool many_sessions;          // more than one session at a time reaches the instrument
};

const transport_case transports[] = {
    {"socket", {"--socket", "0"}, false, true},
    {"hislip", {"--hislip", "0"}, false, true},
    {"vxi11", {"--vxi11", "0"}, true, true},
    {"serial", {"--serial"}, false, false},
};

void PrintTo(const transport_case& c, std::ostream* os) { *os << c.name; }

std::string param_name(const testing::TestParamInfo<transport_case>& info) { return info.param.name; }

// Generous bound for what must end promptly; only a hang reaches it.
constexpr auto hang_bound = 20s;

// Gives a background call time to reach its wait. Correctness never depends on it: a call that
// has not blocked yet must fail the same way.
void let_it_block() { std::this_thread::sleep_for(200ms); }

struct read_result {
  ViStatus status = VI_SUCCESS;
  std::string bytes;
};

// One viRead on its own thread. The thread is detached, so a read that never ends fails the
// test instead of hanging it.
class background_read {
 public:
  explicit background_read(ViSession vi) : state_(std::make_shared<state>()) {
    std::thread([vi, s = state_] {
      char buffer[256] = {};
      ViUInt32 count = 0;
      const ViStatus status = viRead(vi, reinterpret_cast<ViBuf>(buffer), sizeof buffer, &count);
      std::lock_guard lock(s->m);
      s->result = read_result{status, std::string(buffer, count)};
      s->cv.notify_all();
    }).detach();
  }
  // The result, or nothing when the read is still running after bound.
  std::optional<read_result> wait(std::chrono::milliseconds bound = hang_bound) {
    std::unique_lock lock(state_->m);
    state_->cv.wait_for(lock, bound, [&] { return state_->result.has_value(); });
    return state_->result;
  }
  bool done() {
    std::lock_guard lock(state_->m);
    return state_->result.has_value();
  }

 private:
  struct state {
    std::mutex m;
    std::condition_variable cv;
    std::optional<read_result> result;
  };
  std::shared_ptr<state> state_;
};

// viClose on a thread of its own: whether it returned VI_SUCCESS within the bound. A close
// that waits for a read to end by itself fails the test instead of hanging it.
bool closes_promptly(ViSession vi) {
  auto closed = std::make_shared<std::promise<ViStatus>>();
  auto status = closed->get_future();
  std::thread([vi, closed] { closed->set_value(viClose(vi)); }).detach();
  return status.wait_for(hang_bound) == std::future_status::ready && status.get() == VI_SUCCESS;
}

bool aborted(ViStatus status) { return status == VI_ERROR_ABORT || status == VI_ERROR_INV_OBJECT; }

ViStatus send(ViSession vi, const std::string& text) {
  ViUInt32 count = 0;
  return viWrite(vi, reinterpret_cast<ViConstBuf>(text.data()), static_cast<ViUInt32>(text.size()), &count);
}

read_result query(ViSession vi, const std::string& text) {
  read_result r{send(vi, text), {}};
  if (r.status < 0) return r;
  char buffer[256] = {};
  ViUInt32 count = 0;
  r.status = viRead(vi, reinterpret_cast<ViBuf>(buffer), sizeof buffer, &count);
  r.bytes.assign(buffer, count);
  return r;
}

std::size_t open_descriptors() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

class threads : public testing::TestWithParam<transport_case> {
 protected:
  void SetUp() override {
    if (GetParam().needs_private_network && !in_private_network()) {
      GTEST_SKIP() << "needs a private network namespace to serve port 111 (run as root): "
                   << private_network_failure();
    }
    sim.emplace(GetParam().sim_args);
    ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  }
  void TearDown() override {
    if (rm != VI_NULL) viClose(rm);
  }

  const std::string& resource() const { return sim->resource(); }

  ViSession open_session(ViSession manager = VI_NULL) {
    ViSession vi = VI_NULL;
    EXPECT_EQ(viOpen(manager == VI_NULL ? rm : manager, resource().c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
    return vi;
  }

  void expect_echo(ViSession vi, const std::string& token) {
    const read_result r = query(vi, "ECHO? " + token + "\n");
    EXPECT_EQ(r.status, VI_SUCCESS) << token;
    EXPECT_EQ(r.bytes, token + "\n");
  }

  std::optional<simulator> sim;
  ViSession rm = VI_NULL;
};

INSTANTIATE_TEST_SUITE_P(transports, threads, testing::ValuesIn(transports), param_name);

// Closing a session wakes its reader, whether nothing arrives or an answer trickles in, which
// then fails; the next session, which may get the same descriptor number (or, on a serial
// line, the same port at once), gets its own answer.
TEST_P(threads, a_read_blocked_when_its_session_closes_fails_and_the_next_session_gets_its_own_answer) {
  std::vector<std::string> commands = {"SILENT?\n"};
  // 200 bytes 400 ms apart: far longer than any test may take. A serial line has one
  // instrument behind it, which would go on sending them to the next session.
  if (GetParam().many_sessions) commands.push_back("DRIP? 200 400\n");
  for (const std::string& command : commands) {
    for (const ViUInt32 timeout : {20000u, VI_TMO_INFINITE}) {
      SCOPED_TRACE(command + " with timeout " + std::to_string(timeout));
      const ViSession vi = open_session();
      ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, timeout), VI_SUCCESS);
      ASSERT_EQ(send(vi, command), VI_SUCCESS);
      background_read reader(vi);
      let_it_block();

      ASSERT_TRUE(closes_promptly(vi));
      const ViSession next = open_session();
      expect_echo(next, "fresh-" + std::to_string(timeout));

      const auto result = reader.wait();
      ASSERT_TRUE(result) << "the closed session's read is still going on";
      EXPECT_TRUE(aborted(result->status)) << result->status;
      // Only the start of its own answer, never the next session's.
      EXPECT_EQ(result->bytes.find("fresh"), std::string::npos) << result->bytes;
      EXPECT_EQ(viClose(next), VI_SUCCESS);
    }
  }
}

// Six threads each query with their own tokens through sessions they open, while every thread
// now and then closes a session of another. A query either gets its own token back or fails as
// closed; any other answer (another thread's token) or failure means a descriptor was reused
// under it.
TEST_P(threads, random_closes_among_six_threads_never_cross_answers) {
  if (!GetParam().many_sessions) GTEST_SKIP() << "one session at a time on this line";
  constexpr int thread_count = 6;
  constexpr int rounds = 30;
  std::array<std::atomic<ViSession>, thread_count> sessions{};
  std::atomic<int> answered{0};
  std::atomic<int> crossed{0};
  std::atomic<int> other_failures{0};

  std::vector<std::thread> workers;
  for (int t = 0; t < thread_count; ++t) {
    workers.emplace_back([&, t] {
      std::minstd_rand random(static_cast<unsigned>(t) + 1);
      for (int round = 0; round < rounds; ++round) {
        ViSession vi = VI_NULL;
        if (viOpen(rm, resource().c_str(), VI_NULL, 5000, &vi) < 0) {
          ++other_failures;
          continue;
        }
        sessions[t] = vi;
        if (random() % 3 == 0) {
          const ViSession victim = sessions[random() % thread_count].exchange(VI_NULL);
          if (victim != VI_NULL) viClose(victim);
        }
        // Built by appending: g++ 12 at -O3 warns falsely (-Wrestrict) on "t" + std::string.
        std::string token = "t";
        token += std::to_string(t);
        token += '-';
        token += std::to_string(round);
        const read_result r = query(vi, "ECHO? " + token + "\n");
        if (r.status == VI_SUCCESS && r.bytes == token + "\n") ++answered;
        else if (r.status >= 0) ++crossed;
        else if (!aborted(r.status)) ++other_failures;
        const ViSession own = sessions[t].exchange(VI_NULL);
        if (own != VI_NULL) viClose(own);
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(crossed, 0);
  EXPECT_EQ(other_failures, 0);
  EXPECT_GT(answered, 0);
}

// A process whose threads are still querying when main returns exits cleanly, every time.
TEST_P(threads, exit_with_threads_still_in_the_library_never_crashes) {
  if (!GetParam().many_sessions) GTEST_SKIP() << "one session at a time on this line";
  for (int run = 0; run < 8; ++run) {
    const process_result r = run_process(KOBRANT_EXIT_BUSY_BIN, {resource()}, {}, 30s);
    ASSERT_EQ(r.status, 0) << "run " << run << ": " << describe(r);
  }
}

// A child of fork that exits, closes the inherited session or its manager, or _exits, leaves
// the parent's session working.
TEST_P(threads, a_forked_child_leaves_the_parents_session_working) {
  enum class child_does { exit, close_session, close_manager, quick_exit };
  const ViSession vi = open_session();
  expect_echo(vi, "before");
  for (const child_does what :
       {child_does::exit, child_does::close_session, child_does::close_manager, child_does::quick_exit}) {
    SCOPED_TRACE(static_cast<int>(what));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      switch (what) {
        case child_does::exit: std::exit(0);
        case child_does::close_session: viClose(vi); std::exit(0);
        case child_does::close_manager: viClose(rm); std::exit(0);
        case child_does::quick_exit: ::_exit(0);
      }
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    expect_echo(vi, "after-" + std::to_string(static_cast<int>(what)));
  }
  EXPECT_EQ(viClose(vi), VI_SUCCESS);
}

// viOpen racing viClose of its manager either fails or returns a session the close took along:
// no session outlives its manager, and nothing it connected stays open.
TEST_P(threads, an_open_racing_the_close_of_its_manager_leaves_no_session_behind) {
  const std::size_t descriptors_before = open_descriptors();
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE(round);
    ViSession manager = VI_NULL;
    ASSERT_EQ(viOpenDefaultRM(&manager), VI_SUCCESS);
    ViSession vi = VI_NULL;
    ViStatus opened = VI_SUCCESS;
    std::thread opener([&] { opened = viOpen(manager, resource().c_str(), VI_NULL, 5000, &vi); });
    std::this_thread::sleep_for(std::chrono::microseconds(round * 250));
    EXPECT_EQ(viClose(manager), VI_SUCCESS);
    opener.join();
    if (opened >= 0) {
      ViUInt32 timeout = 0;
      EXPECT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &timeout), VI_ERROR_INV_OBJECT);
      EXPECT_EQ(viClose(vi), VI_ERROR_INV_OBJECT);
    } else {
      EXPECT_EQ(opened, VI_ERROR_INV_OBJECT);
      EXPECT_EQ(vi, VI_NULL);
    }
  }
  EXPECT_EQ(open_descriptors(), descriptors_before);
  // The instrument is still free for the next session (on a serial line: the port).
  const ViSession vi = open_session();
  expect_echo(vi, "after-races");
  viClose(vi);
}

// Attributes are read and set while another thread's read waits forever; the read goes on
// waiting until the session closes, and the values set are the ones read back.
TEST_P(threads, attributes_answer_while_a_read_waits) {
  const ViSession vi = open_session();
  char name_before[256] = {};
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_NAME, name_before), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
  ASSERT_EQ(send(vi, "SILENT?\n"), VI_SUCCESS);
  background_read reader(vi);
  let_it_block();

  struct answers {
    char name[256] = {};
    ViUInt32 timeout = 0;
    ViUInt8 termchar = 0;
    ViStatus get_name = VI_ERROR_SYSTEM_ERROR, set_timeout = VI_ERROR_SYSTEM_ERROR,
             set_termchar = VI_ERROR_SYSTEM_ERROR, get_timeout = VI_ERROR_SYSTEM_ERROR,
             get_termchar = VI_ERROR_SYSTEM_ERROR;
  };
  auto got = std::make_shared<answers>();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread([vi, got, finished] {
    got->get_name = viGetAttribute(vi, VI_ATTR_RSRC_NAME, got->name);
    got->set_timeout = viSetAttribute(vi, VI_ATTR_TMO_VALUE, 1500);
    got->set_termchar = viSetAttribute(vi, VI_ATTR_TERMCHAR, '\r');
    got->get_timeout = viGetAttribute(vi, VI_ATTR_TMO_VALUE, &got->timeout);
    got->get_termchar = viGetAttribute(vi, VI_ATTR_TERMCHAR, &got->termchar);
    *finished = true;
  }).detach();
  for (auto waited = 0ms; !*finished && waited < hang_bound; waited += 10ms) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(*finished) << "attribute calls waited for the read";
  EXPECT_FALSE(reader.done()) << "the read began with an infinite timeout and must still wait";

  EXPECT_EQ(got->get_name, VI_SUCCESS);
  EXPECT_STREQ(got->name, name_before);
  EXPECT_EQ(got->set_timeout, VI_SUCCESS);
  EXPECT_EQ(got->set_termchar, VI_SUCCESS);
  EXPECT_EQ(got->get_timeout, VI_SUCCESS);
  EXPECT_EQ(got->timeout, 1500u);
  EXPECT_EQ(got->get_termchar, VI_SUCCESS);
  EXPECT_EQ(got->termchar, '\r');

  ASSERT_TRUE(closes_promptly(vi));
  const auto result = reader.wait();
  ASSERT_TRUE(result);
  EXPECT_TRUE(aborted(result->status)) << result->status;
}

// The instrument sees the connection end when viClose returns, even though a read was waiting
// on it forever: the descriptor is not left open under the reader.
TEST(threads_socket, closing_during_an_endless_read_ends_the_connection_for_the_instrument) {
  const held_port listener(true);
  const std::string resource = "TCPIP0::127.0.0.1::" + std::to_string(listener.port()) + "::SOCKET";

  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, resource.c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
  const int peer = ::accept(listener.fd(), nullptr, nullptr);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
  background_read reader(vi);
  let_it_block();

  ASSERT_EQ(viClose(vi), VI_SUCCESS);
  pollfd p{peer, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(hang_bound).count())), 1)
      << "the connection stayed open";
  char byte = 0;
  EXPECT_EQ(::recv(peer, &byte, 1, 0), 0);
  const auto result = reader.wait();
  ASSERT_TRUE(result);
  EXPECT_TRUE(aborted(result->status)) << result->status;
  ::close(peer);
  viClose(rm);
}

}  // namespace
}  // namespace kobrant::test
