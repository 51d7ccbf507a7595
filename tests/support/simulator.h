// Runs kobrant-sim for one test: starts it with a fresh record file, reads the resource names
// it prints, reads back what it recorded, and stops it (SIGTERM, then wait) at the end.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace kobrant::test {

// One line of the simulator's record: a message as the instrument received it.
struct record_entry {
  std::string transport;  // SOCKET, VXI11, HISLIP, SERIAL
  bool end = false;       // the protocol marked its last byte with END
  std::string bytes;
  bool operator==(const record_entry&) const = default;
};

// Parses a record file, up to a last line still being written (no newline yet); throws
// std::runtime_error on a line that is not "<t> <end> <hex>".
std::vector<record_entry> read_record(const std::filesystem::path& path);

// All recorded messages' bytes, one after the other.
std::string joined_bytes(const std::vector<record_entry>& entries);

class simulator {
 public:
  // Starts kobrant-sim with extra_args after "--record <file>" and reads one resource line per
  // transport option among them (at least one). Throws std::runtime_error if the simulator
  // exits or stays silent for 10 s.
  explicit simulator(std::vector<std::string> extra_args = {});
  ~simulator();
  simulator(const simulator&) = delete;
  simulator& operator=(const simulator&) = delete;

  // The names the tool under test reaches the instruments by (see tool_serial_resource).
  const std::string& resource() const { return resources_.front(); }
  const std::vector<std::string>& resources() const { return resources_; }
  // The pseudo-terminal a serial instrument is served on (empty without one).
  const std::string& serial_device() const { return serial_device_; }
  const std::filesystem::path& record_path() const { return record_path_; }
  int pid() const { return pid_; }

  std::vector<record_entry> record() const;
  // Polls the record until it holds at least count messages or bound passes, and returns
  // it as it is then: a client may exit before the simulator has read all it sent.
  std::vector<record_entry> wait_for_record(
      std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;

  // SIGTERM, then waits up to 10 s (then SIGKILL). Returns the exit status, or -1 when it
  // did not exit by itself. Later calls return the same value.
  int stop();

 private:
  temp_dir dir_;
  std::filesystem::path record_path_;
  int pid_ = -1;
  int stdout_fd_ = -1;
  int exit_status_ = -1;
  std::vector<std::string> resources_;
  std::string serial_device_;
};

}  // namespace kobrant::test
