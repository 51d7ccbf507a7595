// The simulator's shared sending and waiting pieces over a loopback TCP connection: an answer
// arrives whole however it is cut, pacing gives way to a stopping server, the end of an answer
// hangs up or resets as asked, and the waits it takes from the I/O unit end for the right
// reasons only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "answer.h"
#include "instrument.h"
#include "tcp.h"

namespace kobrant::sim {
namespace {

// Both ends of one loopback connection, blocking as the simulator's are.
struct connection {
  unique_fd server;
  unique_fd client;
};

connection connect_loopback() {
  unique_fd listening = listen_tcp("127.0.0.1", 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(local_port(listening.get()));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connection c;
  c.client = unique_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(::connect(c.client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
  c.server = unique_fd(::accept4(listening.get(), nullptr, nullptr, SOCK_CLOEXEC));
  EXPECT_TRUE(c.server);
  return c;
}

// Everything the client receives until the server's side is closed.
std::string read_to_end(int fd) {
  std::string got;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return got;
    got.append(buffer, static_cast<std::size_t>(n));
  }
}

std::string expected_text(std::uint64_t count) {
  std::string text;
  for (std::uint64_t i = 0; i < count; ++i) text.push_back(static_cast<char>('A' + i % 26));
  return text + "\n";
}

TEST(sim_answer, arrives_whole_however_it_is_cut) {
  // Cuts as the transports make them: all at once (socket), in message-sized parts (HiSLIP),
  // in read-sized parts across calls (VXI-11), and beyond one send piece.
  struct cut_case {
    std::uint64_t body;
    std::uint64_t part;
  };
  for (const cut_case c : {cut_case{10, 100}, cut_case{10, 3}, cut_case{1000, 1}, cut_case{(3 << 20) + 5, 1 << 20}}) {
    SCOPED_TRACE(std::to_string(c.body) + " in parts of " + std::to_string(c.part));
    connection link = connect_loopback();
    std::string got;
    std::thread reader([&] { got = read_to_end(link.client.get()); });
    response answer = response::generated("", pattern::text, c.body, "\n");
    bool ok = true;
    for (std::uint64_t sent = 0; ok && sent < answer.size();) {
      // The last part is what is left of the answer.
      const std::uint64_t part = std::min(c.part, answer.size() - sent);
      sent += part;
      ok = send_answer_bytes(link.server.get(), answer, part, sent < answer.size());
    }
    EXPECT_TRUE(answer.done());
    EXPECT_TRUE(ok);
    link.server.reset();
    reader.join();
    EXPECT_EQ(got, expected_text(c.body));
  }
}

TEST(sim_answer, paced_answer_arrives_whole_and_gives_way_to_a_stopping_server) {
  {
    connection link = connect_loopback();
    response answer = response::generated("", pattern::text, 4, "\n");
    answer.paced(std::chrono::milliseconds(1));
    EXPECT_TRUE(send_answer_bytes(link.server.get(), answer, answer.size(), false));
    link.server.reset();
    EXPECT_EQ(read_to_end(link.client.get()), expected_text(4));
  }
  {
    // A minute between bytes: only the server shutting the connection down (as stop() does)
    // can end this in time, and sending then reports the connection as over.
    connection link = connect_loopback();
    response answer = response::generated("", pattern::text, 5, "\n");
    answer.paced(std::chrono::milliseconds(60'000));
    std::thread stopper([&] {
      char first = 0;
      ::recv(link.client.get(), &first, 1, 0);
      ::shutdown(link.server.get(), SHUT_RDWR);
    });
    EXPECT_FALSE(send_answer_bytes(link.server.get(), answer, answer.size(), false));
    stopper.join();
    EXPECT_FALSE(answer.done());
  }
}

TEST(sim_answer, end_of_answer_carries_on_hangs_up_or_resets) {
  struct end_case {
    after_answer after;
    bool carries_on;
    int client_error;  // what the client's next receive sees once the server closes: 0 for EOF
  };
  for (const end_case c : {end_case{after_answer::carry_on, true, 0}, end_case{after_answer::stall, true, 0},
                           end_case{after_answer::drop, false, 0},
                           end_case{after_answer::reset, false, ECONNRESET}}) {
    SCOPED_TRACE(static_cast<int>(c.after));
    connection link = connect_loopback();
    EXPECT_EQ(carry_on_after(link.server.get(), c.after), c.carries_on);
    if (c.after == after_answer::drop) {
      // A drop hangs up at once, before the handler closes the descriptor.
      char byte = 0;
      EXPECT_EQ(::recv(link.client.get(), &byte, 1, 0), 0);
    }
    link.server.reset();
    char byte = 0;
    const ssize_t n = ::recv(link.client.get(), &byte, 1, 0);
    if (c.client_error == 0) {
      EXPECT_EQ(n, 0);
    } else {
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, c.client_error);
    }
  }
}

TEST(sim_tcp, receive_exact_joins_pieces_and_fails_on_a_short_stream) {
  connection link = connect_loopback();
  std::thread writer([&] {
    for (const char* piece : {"ab", "cdef", "g"}) {
      send_all(link.client.get(), std::as_bytes(std::span(piece, std::char_traits<char>::length(piece))));
    }
    ::shutdown(link.client.get(), SHUT_WR);
  });
  std::vector<std::byte> space(5);
  ASSERT_TRUE(receive_exact(link.server.get(), space));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(space.data()), space.size()), "abcde");
  // Three bytes wanted, two left before the end of the stream.
  std::vector<std::byte> rest(3);
  EXPECT_FALSE(receive_exact(link.server.get(), rest));
  writer.join();
}

TEST(sim_tcp, waits_end_on_a_hang_up_but_not_on_more_requests) {
  {
    // The client sending more is no reason to cut the instrument's timeout short.
    connection link = connect_loopback();
    send_all(link.client.get(), std::as_bytes(std::span("more\n", 5)));
    EXPECT_TRUE(wait_while_connected(link.server.get(), 20));
    EXPECT_TRUE(wait_gap(link.server.get(), std::chrono::milliseconds(20)));
  }
  {
    // The client leaving ends a wait that would otherwise last for good.
    connection link = connect_loopback();
    ::shutdown(link.client.get(), SHUT_WR);
    EXPECT_FALSE(wait_while_connected(link.server.get(), VI_TMO_INFINITE));
  }
  {
    // A server stopping ends a paced answer's gap.
    connection link = connect_loopback();
    ::shutdown(link.server.get(), SHUT_RDWR);
    EXPECT_FALSE(wait_gap(link.server.get(), std::chrono::milliseconds(60'000)));
  }
}

}  // namespace
}  // namespace kobrant::sim
