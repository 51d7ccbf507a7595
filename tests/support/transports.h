// The transports kobrant-sim serves, as one table the suites run their cases over: how to
// start the simulator for each, what it records a sent command as, and whether it needs the
// private network (VXI-11's port mapper sits on the fixed port 111).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "private_network.h"
#include "simulator.h"

namespace kobrant::test {

struct transport_row {
  const char* name;
  std::vector<std::string> sim_args;
  const char* record_tag;      // what the simulator's record names the instrument's messages
  bool carries_end;            // the link marks a message's last byte; otherwise a newline ends it
  bool needs_private_network;  // serves the port mapper on 111
  bool over_tcp;
};

inline const std::vector<transport_row>& transport_rows() {
  static const std::vector<transport_row> rows = {
      {"socket", {"--socket", "0"}, "SOCKET", false, false, true},
      {"vxi11", {"--vxi11", "0"}, "VXI11", true, true, true},
      {"hislip", {"--hislip", "0"}, "HISLIP", true, false, true},
      {"serial", {"--serial"}, "SERIAL", false, false, false},
  };
  return rows;
}

// The row of the one transport a protocol's own cases run over.
inline transport_row transport_named(std::string_view name) {
  for (const auto& row : transport_rows())
    if (row.name == name) return row;
  throw std::invalid_argument("no transport named " + std::string(name));
}

inline std::vector<transport_row> tcp_transport_rows() {
  std::vector<transport_row> out;
  for (const auto& row : transport_rows())
    if (row.over_tcp) out.push_back(row);
  return out;
}

inline void PrintTo(const transport_row& row, std::ostream* out) { *out << row.name; }

inline std::string transport_row_name(const ::testing::TestParamInfo<transport_row>& info) {
  return info.param.name;
}

// Skips the calling test when the row needs a private network this process could not enter.
#define SKIP_WITHOUT_NETWORK_FOR(row)                                                          \
  do {                                                                                         \
    if ((row).needs_private_network && !::kobrant::test::in_private_network()) {               \
      GTEST_SKIP() << (row).name << " needs a private network namespace to serve port 111 "    \
                   << "(run as root): " << ::kobrant::test::private_network_failure();         \
    }                                                                                          \
  } while (false)

// The instrument's messages in a record (transport exactly as named: a protocol's control
// messages are left out).
inline std::vector<record_entry> messages_of(const std::vector<record_entry>& all, const std::string& tag) {
  std::vector<record_entry> out;
  for (const auto& e : all)
    if (e.transport == tag) out.push_back(e);
  return out;
}
inline std::vector<record_entry> data_messages(const transport_row& row, const std::vector<record_entry>& all) {
  return messages_of(all, row.record_tag);
}

// Polls the record until it holds count messages of the transport, or 10 s pass, and returns
// them as they are then: kobrant may end before the simulator has recorded what it sent.
inline std::vector<record_entry> wait_for_messages(const simulator& sim, const std::string& tag, std::size_t count = 1) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    auto found = messages_of(sim.record(), tag);
    if (found.size() >= count || std::chrono::steady_clock::now() >= until) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// What the instrument records for one command sent in writes of at most size bytes. A link
// with END: one message per write, END on the last only. A link without: the newline kobrant
// adds when the command lacks one, and one entry per line.
inline std::vector<record_entry> sent_as(const transport_row& row, std::string_view text, std::size_t size) {
  std::vector<record_entry> out;
  if (row.carries_end) {
    for (std::size_t at = 0; at < text.size(); at += size) out.push_back({row.record_tag, false, std::string(text.substr(at, size))});
    if (out.empty()) out.push_back({row.record_tag, false, ""});
    out.back().end = true;
    return out;
  }
  std::string whole(text);
  if (!whole.ends_with('\n')) whole += '\n';
  for (std::size_t at = 0; at < whole.size();) {
    const std::size_t stop = whole.find('\n', at) + 1;
    out.push_back({row.record_tag, false, whole.substr(at, stop - at)});
    at = stop;
  }
  return out;
}

}  // namespace kobrant::test
