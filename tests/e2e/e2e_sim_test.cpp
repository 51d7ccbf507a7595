// The simulated instrument's own contract, checked with a bare TCP client: what it answers,
// what it records and when, half-close and dropped connections, many clients, options and
// signals. kobrant's tests lean on all of this, so a fault here must show up here first.
#include <gtest/gtest.h>
#include <signal.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "patterns.h"
#include "process.h"
#include "raw_client.h"
#include "simulator.h"

namespace kobrant::test {
namespace {

using namespace std::chrono_literals;

const std::string out_of_range = "-222,\"Data out of range\"\n";
const std::string undefined_header = "-113,\"Undefined header\"\n";

// Sends the bytes, half-closes, and returns everything the simulator sends until it closes.
std::string send_and_collect(const simulator& sim, const std::string& bytes) {
  raw_client client(sim.resource());
  client.send(bytes);
  client.close_write();
  std::string got = client.receive_all();
  EXPECT_TRUE(client.at_eof()) << "the simulator did not close after a half-close";
  return got;
}

std::size_t open_descriptors(int pid) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
  }
  return count;
}

std::size_t resident_kib(int pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stoul(line.substr(6));
  }
  return 0;
}

// Waits until the simulator holds at most limit descriptors; it closes a connection's
// descriptor on its own thread, shortly after the client left.
std::size_t wait_for_descriptors_at_most(int pid, std::size_t limit) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::size_t count = open_descriptors(pid);
  while (count > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(5ms);
    count = open_descriptors(pid);
  }
  return count;
}

TEST(simulator_answers, each_command_as_documented) {
  simulator sim;
  struct case_t {
    std::string sent;
    std::string answer;
  };
  const std::vector<case_t> cases = {
      {"*IDN?\n", std::string(identification)},
      {"*idn?\n", std::string(identification)},
      {" \t*IDN? \r\n", std::string(identification)},
      {"ECHO? hello  world \n", "hello  world \n"},
      {"echo?\n", "\n"},
      {"BLOCK? 0\n", "#10\n"},
      {"BLOCK? 600\n", block_answer(600)},
      {"block?  007 \n", block_answer(7)},
      {"TEXT? 30\n", text_pattern(30) + "\n"},
      {"TEXT? 0\n", "\n"},
      {"SILENT?\n*IDN?\n", std::string(identification)},
      {"FOO?\n", undefined_header},
      {"*IDN? and more?\n", std::string(identification)},
      {"*IDN\nBLOCK 5\nhello\n", ""},
      {"BLOCK?\n", out_of_range},
      {"BLOCK? x\n", out_of_range},
      {"BLOCK? -1\n", out_of_range},
      {"BLOCK? +5\n", out_of_range},
      {"BLOCK? 1000000000\n", out_of_range},
      {"BLOCK? 99999999999999999999999\n", out_of_range},
      {"BLOCK? 5 6\n", out_of_range},
      {"TEXT? 1.5\n", out_of_range},
      {"STALL? 1e3\n", out_of_range},
      {"DROP? 0x10\n", out_of_range},
      // Bytes after the last newline are recorded at the half-close but never answered.
      {"TEXT? 2\n*IDN?", "AB\n"},
      {"DROP? 5\n*IDN?\n", "ABCDE"},
      {"DROP? 0\n*IDN?\n", ""},
      {"RESET? 5\n*IDN?\n", "ABCDE"},
      {"RESET? x\n", out_of_range},
      {"DRIP? 5 0\n", "ABCDE\n"},
      {"DRIP? 3 1\n*IDN?\n", "ABC\n" + std::string(identification)},
      {"drip?  2  1 \n", "AB\n"},
      {"DRIP? 5\n", out_of_range},
      {"DRIP? 5 60001\n", out_of_range},
      {"DRIP? 1000000000 1\n", out_of_range},
      {"DRIP? 5 1 1\n", out_of_range},
      {"HUGEBLOCK?\n*IDN?\n", "#9999999999" + text_pattern(16)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("sent: " + c.sent);
    const std::string got = send_and_collect(sim, c.sent);
    EXPECT_EQ(got, c.answer) << first_difference(c.answer, got);
  }
}

TEST(simulator_answers, a_large_block_is_whole_and_followed_by_the_next_answer) {
  simulator sim;
  const std::string expected = block_answer(3'000'000) + "ABCDE\n";
  const std::string got = send_and_collect(sim, "BLOCK? 3000000\nTEXT? 5\n");
  EXPECT_EQ(got, expected) << first_difference(expected, got);
}

TEST(simulator_answers, the_largest_block_has_its_header_and_streams) {
  simulator sim;
  raw_client client(sim.resource());
  client.send("BLOCK? 999999999\n");
  const std::string head = client.receive(11 + 4096);
  EXPECT_EQ(head, "#9999999999" + binary_pattern(4096));
}

TEST(simulator_record, one_line_per_message_written_before_the_answer) {
  simulator sim;
  raw_client client(sim.resource());
  client.send("*IDN?\n");
  ASSERT_EQ(client.receive(identification.size()), identification);
  // The answer is out, so the line must already be there: no waiting.
  EXPECT_EQ(read_file(sim.record_path()), "SOCKET - 2a49444e3f0a\n");

  client.send(std::string("\n" "x\0\xff\n" "BLOCK", 10));
  client.send("? 3\nunfinished");
  ASSERT_EQ(client.receive(block_answer(3).size()), block_answer(3));
  client.close_write();
  client.receive_all();
  EXPECT_TRUE(client.at_eof());
  EXPECT_EQ(read_file(sim.record_path()),
            "SOCKET - 2a49444e3f0a\n"
            "SOCKET - 0a\n"
            "SOCKET - 7800ff0a\n"
            "SOCKET - 424c4f434b3f20330a\n"
            "SOCKET - 756e66696e6973686564\n");
}

TEST(simulator_record, a_message_split_across_many_sends_is_one_line) {
  simulator sim;
  const std::string message = text_pattern(300'000) + "\n";
  raw_client client(sim.resource());
  for (std::size_t at = 0; at < message.size(); at += 7'001) client.send(message.substr(at, 7'001));
  client.close_write();
  client.receive_all();
  const auto entries = sim.wait_for_record(1);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0], (record_entry{"SOCKET", false, message}));
}

TEST(simulator_connection, stall_keeps_the_connection_open_and_silent) {
  simulator sim;
  raw_client client(sim.resource());
  client.send("STALL? 5\n*IDN?\n");
  EXPECT_EQ(client.receive(5), "ABCDE");
  EXPECT_TRUE(client.stays_quiet(300ms)) << "a stalled instrument answered or hung up";
  // It still reads and records what comes after the stall.
  EXPECT_EQ(sim.wait_for_record(2).size(), 2u);
  client.close_write();
  EXPECT_EQ(client.receive_all(), "");
  EXPECT_TRUE(client.at_eof());
}

TEST(simulator_connection, drop_closes_in_order_and_reset_aborts_after_the_bytes) {
  simulator sim;
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "RESET?" : "DROP?");
    raw_client client(sim.resource());
    client.send(reset ? "RESET? 5\n" : "DROP? 5\n");
    EXPECT_EQ(client.receive_all(), "ABCDE");
    EXPECT_TRUE(client.at_eof());
    EXPECT_EQ(client.was_reset(), reset);
  }
}

TEST(simulator_connection, silent_answers_nothing_and_the_connection_goes_on) {
  simulator sim;
  raw_client client(sim.resource());
  client.send("SILENT?\n");
  EXPECT_TRUE(client.stays_quiet(300ms));
  client.send("*IDN?\n");
  EXPECT_EQ(client.receive(identification.size()), identification);
}

TEST(simulator_connection, many_clients_at_once_each_get_their_own_answers) {
  simulator sim;
  std::vector<std::unique_ptr<raw_client>> clients;
  for (int i = 0; i < 24; ++i) clients.push_back(std::make_unique<raw_client>(sim.resource()));
  // A stalled client and one with a large answer pending must not hold the others up.
  clients[0]->send("STALL? 3\n");
  clients[1]->send("BLOCK? 50000000\n");
  for (int i = static_cast<int>(clients.size()) - 1; i >= 2; --i) {
    clients[i]->send("ECHO? client " + std::to_string(i) + "\n");
  }
  for (int i = 2; i < static_cast<int>(clients.size()); ++i) {
    const std::string expected = "client " + std::to_string(i) + "\n";
    EXPECT_EQ(clients[i]->receive(expected.size()), expected);
  }
  EXPECT_EQ(clients[0]->receive(3), "ABC");
}

TEST(simulator_connection, ten_thousand_connections_leave_no_descriptors_or_memory_behind) {
  simulator sim;
  const auto one_query = [&] {
    raw_client client(sim.resource());
    client.send("*IDN?\n");
    return client.receive(identification.size()) == identification;
  };
  const std::size_t descriptors = open_descriptors(sim.pid());  // no connection yet
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(one_query());
  const std::size_t rss_before = resident_kib(sim.pid());

  // Four clients in turn-taking loops: sequential connections, but the waits overlap.
  std::atomic<int> answered = 0;
  std::vector<std::thread> clients;
  for (int t = 0; t < 4; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 2'500; ++i) answered += one_query();
    });
  }
  for (auto& c : clients) c.join();
  EXPECT_EQ(answered, 10'000);

  EXPECT_LE(wait_for_descriptors_at_most(sim.pid(), descriptors), descriptors);
  // A leaked thread or buffer per connection would cost hundreds of megabytes here. Under
  // AddressSanitizer freed memory sits in quarantine, so the figure means nothing there; its
  // leak check at the simulator's exit (a non-zero status below) covers that build instead.
  if (!address_sanitized) {
    EXPECT_LT(resident_kib(sim.pid()), rss_before + 32 * 1024);
  }
  EXPECT_EQ(sim.stop(), 0);
}

TEST(simulator_connection, a_client_leaving_mid_block_frees_its_connection) {
  simulator sim;
  const std::size_t idle = open_descriptors(sim.pid());
  {
    raw_client client(sim.resource());
    client.send("BLOCK? 999999999\n");
    EXPECT_EQ(client.receive(1 << 20).size(), std::size_t{1} << 20);
  }
  EXPECT_LE(wait_for_descriptors_at_most(sim.pid(), idle), idle);
  EXPECT_EQ(send_and_collect(sim, "*IDN?\n"), identification);
}

TEST(simulator_options, fixed_port_and_other_loopback_address) {
  std::uint16_t port = 0;
  {
    const held_port probe(false);
    port = probe.port();
  }
  simulator sim({"--address", "127.0.0.2", "--socket", std::to_string(port)});
  EXPECT_EQ(sim.resource(), "TCPIP0::127.0.0.2::" + std::to_string(port) + "::SOCKET");
  EXPECT_EQ(send_and_collect(sim, "*IDN?\n"), identification);
}

TEST(simulator_options, ipv6_loopback) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  simulator sim({"--address", "::1"});
  EXPECT_TRUE(sim.resource().starts_with("TCPIP0::[::1]::")) << sim.resource();
  EXPECT_TRUE(sim.resource().ends_with("::SOCKET")) << sim.resource();
  EXPECT_EQ(send_and_collect(sim, "*IDN?\n"), identification);
}

// The port of a printed resource name: "TCPIP0::127.0.0.1::40123::SOCKET" or
// "TCPIP0::127.0.0.1::hislip0,40123::INSTR".
std::string port_of(const std::string& resource) {
  const auto comma = resource.find(',');
  const auto from = comma != std::string::npos ? comma + 1 : resource.find("::", 8) + 2;
  return resource.substr(from, resource.find("::", from) - from);
}

TEST(simulator_options, without_an_address_both_loopbacks_serve_at_the_printed_port) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  simulator sim({"--socket", "0", "--hislip", "0"});
  ASSERT_EQ(sim.resources().size(), 2u);
  EXPECT_TRUE(sim.resource().starts_with("TCPIP0::127.0.0.1::")) << sim.resource();
  const std::string socket_port = port_of(sim.resources()[0]);
  for (const std::string host : {"127.0.0.1", "[::1]"}) {
    SCOPED_TRACE(host);
    raw_client client("TCPIP0::" + host + "::" + socket_port + "::SOCKET");
    client.send("*IDN?\n");
    client.close_write();
    EXPECT_EQ(client.receive_all(), identification);
    // The HiSLIP server takes connections there too (its handshake is tested elsewhere).
    EXPECT_NO_THROW(raw_client("TCPIP0::" + host + "::" + port_of(sim.resources()[1]) + "::SOCKET"));
  }
}

TEST(simulator_options, a_port_taken_on_ipv6_loopback_leaves_ipv4_serving) {
  if (!ipv6_loopback_available()) GTEST_SKIP() << "no IPv6 loopback on this machine";
  const int taken = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(taken, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(taken, 1), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const std::string port = std::to_string(ntohs(addr.sin6_port));
  {
    simulator sim({"--socket", port});
    EXPECT_EQ(sim.resource(), "TCPIP0::127.0.0.1::" + port + "::SOCKET");
    EXPECT_EQ(send_and_collect(sim, "*IDN?\n"), identification);
  }
  ::close(taken);
}

TEST(simulator_options, bad_options_exit_2_with_a_message) {
  const std::vector<std::vector<std::string>> cases = {
      {"--socket", "abc"}, {"--socket", "70000"}, {"--socket", "-1"},  {"--socket"},
      {"--socket", ""},    {"--bogus"},           {"stray"},           {"--address", "nonsense"},
      {"--address", "localhost"}, {"--record"}, {"--hostile", "rude"}, {"--hostile"},
  };
  for (const auto& args : cases) {
    SCOPED_TRACE(args.front() + (args.size() > 1 ? " " + args[1] : ""));
    const auto result = run_process(simulator_path(), args, {}, 10s);
    EXPECT_EQ(result.status, 2) << describe(result);
    EXPECT_FALSE(result.err.empty());
    EXPECT_EQ(result.out, "");
  }
}

TEST(simulator_options, a_port_in_use_exits_1) {
  const held_port taken(true);
  const auto result =
      run_process(simulator_path(), {"--socket", std::to_string(taken.port())}, {}, 10s);
  EXPECT_EQ(result.status, 1) << describe(result);
  EXPECT_NE(result.err.find("kobrant-sim"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");
}

TEST(simulator_signals, sigterm_and_sigint_end_it_with_0_even_with_busy_clients) {
  for (const int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig == SIGTERM ? "SIGTERM" : "SIGINT");
    simulator sim;
    raw_client stalled(sim.resource());
    stalled.send("STALL? 3\n");
    ASSERT_EQ(stalled.receive(3), "ABC");
    raw_client busy(sim.resource());
    busy.send("BLOCK? 999999999\n");  // never read: the simulator is blocked sending
    ASSERT_EQ(busy.receive(100).size(), 100u);
    raw_client idle(sim.resource());
    ASSERT_EQ(::kill(sim.pid(), sig), 0);
    // stop() sends SIGTERM once more, which a process already on its way out ignores.
    EXPECT_EQ(sim.stop(), 0);
  }
}

}  // namespace
}  // namespace kobrant::test
