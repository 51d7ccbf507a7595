// A signal during a read, through the library's C API in this process (in a network namespace
// of its own): the read ends with
// VI_ERROR_ABORT and the bytes so far, nothing of the answer is lost or repeated by the reads
// that follow, and the session answers the next query. A helper thread keeps signalling the
// reading thread until the answer is complete, so interrupts land at every stage of it.
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <vector>
#include <thread>

#include "patterns.h"
#include "private_network.h"
#include "simulator.h"
#include "transports.h"

namespace kobrant::test {
namespace {

// A handler that does nothing, installed with or without SA_RESTART: the library must end
// its wait either way (poll() is never restarted, recv() would be).
void install_handler(bool restart) {
  struct sigaction action{};
  action.sa_handler = [](int) {};
  action.sa_flags = restart ? SA_RESTART : 0;
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(::sigaction(SIGUSR1, &action, nullptr), 0);
}

// Signals the thread that made it every 15 ms, from a helper thread, until stopped.
class signal_storm {
 public:
  signal_storm() : target_(::pthread_self()), thread_([this] {
    while (!done_) {
      ::pthread_kill(target_, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  }) {}
  ~signal_storm() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  const pthread_t target_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct interrupt_case {
  const char* name;
  transport_row transport;
  bool restart;
  // VXI-11 streams the answer inside one reply, which a signal lets finish: a read ends
  // early only when a signal lands before a reply begins, which timing may not offer.
  bool always_aborts = true;
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& os, const interrupt_case& c) { return os << c.name; }

class read_interrupted : public ::testing::TestWithParam<interrupt_case> {};

TEST_P(read_interrupted, keeps_every_byte_and_the_session) {
  SKIP_WITHOUT_NETWORK_FOR(GetParam().transport);
  install_handler(GetParam().restart);
  simulator sim(GetParam().transport.sim_args);
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, sim.resource().c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000), VI_SUCCESS);

  // 60 bytes 10 ms apart: a reader sees many waits, and a signal every 15 ms hits them.
  const std::string query = "DRIP? 60 10\n";
  ViUInt32 count = 0;
  ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(query.data()), query.size(), &count), VI_SUCCESS);

  signal_storm storm;
  std::string got;
  int aborted = 0;
  ViStatus status = VI_ERROR_ABORT;
  char buffer[1000];
  while (status == VI_ERROR_ABORT) {
    count = 0;
    status = viRead(vi, reinterpret_cast<ViBuf>(buffer), sizeof buffer, &count);
    got.append(buffer, count);
    if (status == VI_ERROR_ABORT) ++aborted;
  }
  storm.stop();

  EXPECT_EQ(status, VI_SUCCESS);
  if (GetParam().always_aborts) {
    EXPECT_GT(aborted, 0);
  }
  EXPECT_EQ(got, text_pattern(60) + "\n") << first_difference(text_pattern(60) + "\n", got);

  const std::string next = "*IDN?\n";
  ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(next.data()), next.size(), &count), VI_SUCCESS);
  count = 0;
  EXPECT_EQ(viRead(vi, reinterpret_cast<ViBuf>(buffer), sizeof buffer, &count), VI_SUCCESS);
  EXPECT_TRUE(std::string(buffer, count).starts_with("KOBRANT,")) << std::string(buffer, count);
  viClose(rm);
}

INSTANTIATE_TEST_SUITE_P(transports, read_interrupted,
                         ::testing::Values(interrupt_case{"socket", transport_named("socket"), false},
                                           interrupt_case{"socket_restarting_handler", transport_named("socket"), true},
                                           interrupt_case{"hislip", transport_named("hislip"), false},
                                           interrupt_case{"hislip_restarting_handler", transport_named("hislip"), true},
                                           interrupt_case{"vxi11", transport_named("vxi11"), false, false},
                                           interrupt_case{"serial", transport_named("serial"), false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A write into a peer that does not read yet: the signal ends it with VI_ERROR_ABORT and the
// count that went out, and writing the rest from there gives the peer every byte once.
TEST(write_interrupted, reports_the_count_sent_and_the_rest_follows_in_order) {
  install_handler(false);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string resource = "TCPIP::127.0.0.1::" + std::to_string(ntohs(addr.sin_port)) + "::SOCKET";

  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, resource.c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 20000), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, VI_FALSE), VI_SUCCESS);
  const int peer = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);

  // Far more than the socket buffers hold, so the write must wait for the peer.
  const std::string data = text_pattern(64 << 20);
  ViUInt32 count = 0;
  signal_storm storm;
  const ViStatus first = viWrite(vi, reinterpret_cast<ViConstBuf>(data.data()), data.size(), &count);
  storm.stop();
  EXPECT_EQ(first, VI_ERROR_ABORT);
  ASSERT_LT(count, data.size());

  std::string received;
  std::thread reader([&] {
    char chunk[65536];
    for (ssize_t n; (n = ::recv(peer, chunk, sizeof chunk, 0)) > 0;) received.append(chunk, n);
  });
  ViUInt32 rest = 0;
  EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(data.data() + count), data.size() - count, &rest),
            VI_SUCCESS);
  viClose(rm);
  reader.join();
  ::close(peer);
  ::close(listener);
  EXPECT_EQ(count + rest, data.size());
  EXPECT_TRUE(received == data) << first_difference(data, received);
}

}  // namespace
}  // namespace kobrant::test
