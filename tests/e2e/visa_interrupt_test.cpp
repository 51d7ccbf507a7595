// A signal during a read, through the library's C API in this process: the read ends with
// VI_ERROR_ABORT and the bytes so far, nothing of the answer is lost or repeated by the reads
// that follow, and the session answers the next query. A helper thread keeps signalling the
// reading thread until the answer is complete, so interrupts land at every stage of it.
#include "visa/visa.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <string>
#include <thread>

#include "patterns.h"
#include "simulator.h"

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

struct interrupt_case {
  const char* name;
  const char* transport;  // the simulator's option
  bool restart;
};

// Names the case in test listings instead of dumping its bytes.
std::ostream& operator<<(std::ostream& os, const interrupt_case& c) { return os << c.name; }

class read_interrupted : public ::testing::TestWithParam<interrupt_case> {};

TEST_P(read_interrupted, keeps_every_byte_and_the_session) {
  install_handler(GetParam().restart);
  simulator sim({GetParam().transport, "0"});
  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpen(rm, sim.resource().c_str(), VI_NULL, 5000, &vi), VI_SUCCESS);
  ASSERT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 10000), VI_SUCCESS);

  // 60 bytes 10 ms apart: a reader sees many waits, and a signal every 15 ms hits them.
  const std::string query = "DRIP? 60 10\n";
  ViUInt32 count = 0;
  ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(query.data()), query.size(), &count), VI_SUCCESS);

  const pthread_t reader = ::pthread_self();
  std::atomic<bool> done{false};
  std::thread signaller([&] {
    while (!done) {
      ::pthread_kill(reader, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
  });
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
  done = true;
  signaller.join();

  EXPECT_EQ(status, VI_SUCCESS);
  EXPECT_GT(aborted, 0);
  EXPECT_EQ(got, text_pattern(60) + "\n") << first_difference(text_pattern(60) + "\n", got);

  const std::string next = "*IDN?\n";
  ASSERT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>(next.data()), next.size(), &count), VI_SUCCESS);
  count = 0;
  EXPECT_EQ(viRead(vi, reinterpret_cast<ViBuf>(buffer), sizeof buffer, &count), VI_SUCCESS);
  EXPECT_TRUE(std::string(buffer, count).starts_with("KOBRANT,")) << std::string(buffer, count);
  viClose(rm);
}

INSTANTIATE_TEST_SUITE_P(transports, read_interrupted,
                         ::testing::Values(interrupt_case{"socket", "--socket", false},
                                           interrupt_case{"socket_restarting_handler", "--socket", true},
                                           interrupt_case{"hislip", "--hislip", false},
                                           interrupt_case{"hislip_restarting_handler", "--hislip", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kobrant::test
