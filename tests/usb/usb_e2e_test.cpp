// kobrant over USB, end to end: the real kobrant and the real libusb in a child process, the
// emulated instrument (usbfs_emulation.h) in this one. Each case checks what the user sees
// (stdout, stderr, exit status, the output file) and what the device saw: the messages with
// their END, the transfer sizes asked for, the recovery requests, and no breach of the protocol
// by the host. The device model keeps its state across runs within a case, as an instrument
// does across programs.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <sstream>

#include "e2e.h"
#include "private_network.h"
#include "usbfs_emulation.h"

namespace kobrant::test {
namespace {

constexpr std::uint8_t initiate_abort_bulk_in = 3;
constexpr std::uint8_t initiate_clear = 5;
inline constexpr int visa_io_error = -1073807298;
inline constexpr int visa_no_permission = -1073807192;
constexpr std::uint8_t bulk_in_endpoint = 0x82;

const std::string usb_resource = "USB0::0x1234::0x5678::SN1::INSTR";

class usb_e2e : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_USB_EMULATION(); }

  void plug(usb_identity identity = {}, unsigned quirks = 0, usb_failures failures = {}) {
    device.emplace(identity);
    device->set_quirks(quirks);
    device->set_failures(failures);
    bed.emplace();
    bed->plug(*device);
  }
  // The same device behind the kernel usbtmc driver's node, with no usbfs node to open.
  void plug_behind_kernel_driver() {
    device.emplace();
    bed.emplace();
    bed->plug_kernel_driver_node(*device);
  }
  process_result run(std::vector<std::string> args, const std::string& resource = usb_resource) const {
    args.insert(args.begin(), "/a=" + resource);
    return run_kobrant(args);
  }
  static std::string echo(std::string_view text) { return usb_resource + " <- " + std::string(text) + "\n"; }
  static std::string answer(std::string_view text) { return usb_resource + " -> " + std::string(text) + "\n"; }

  // The host kept to the protocol and gave the interface back to the kernel driver.
  void expect_host_clean() const {
    EXPECT_EQ(device->violations(), std::vector<std::string>{});
    EXPECT_TRUE(device->kernel_driver_bound()) << "the kernel driver was not re-attached";
  }
  std::vector<usbtmc_out_transfer> requests() const {
    std::vector<usbtmc_out_transfer> out;
    for (const auto& t : device->out_transfers()) {
      if (t.msg_id == 2) out.push_back(t);
    }
    return out;
  }

  std::optional<usbtmc_device> device;
  std::optional<usb_testbed> bed;
  temp_dir files;
};

TEST_F(usb_e2e, query_is_one_message_with_end_and_one_request_for_the_whole_buffer) {
  plug();
  const auto result = run({"/c=*IDN?"});
  ASSERT_EQ(result.status, 0) << describe(result);
  EXPECT_EQ(result.out, echo("*IDN?") + answer(identification));
  EXPECT_EQ(result.err, "");
  ASSERT_EQ(device->messages().size(), 1u);
  EXPECT_EQ(device->messages()[0].bytes, "*IDN?");
  EXPECT_TRUE(device->messages()[0].end);
  ASSERT_EQ(requests().size(), 1u);
  EXPECT_EQ(requests()[0].transfer_size, default_buffer);
  expect_host_clean();
}

// Every reply that fits the buffer is read in one Bulk-IN transfer, the packet that ends it
// included; a longer answer costs one per request. Counted at the emulated usbfs.
TEST_F(usb_e2e, each_reply_is_read_in_one_bulk_in_transfer) {
  plug();
  struct row {
    const char* what;
    std::vector<std::string> args;
    std::string answer;
    std::size_t requests;
  };
  // 499 characters and the newline: 12 + 500 bytes, a whole packet, then a zero-length packet.
  const std::string packet_text(499, 'p');
  const row rows[] = {
      {"short answer", {"/c=*IDN?", "/l"}, std::string(identification), 1},
      {"answer ending on a whole packet", {"/c=ECHO? " + packet_text, "/l"}, packet_text + "\n", 1},
      {"answer longer than the buffer", {"/c=ECHO? " + packet_text, "/b=200", "/l"}, packet_text + "\n", 3},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    const std::size_t requests_before = requests().size();
    const unsigned urbs_before = bed->urbs_submitted(*device, bulk_in_endpoint);
    const auto result = run(r.args);
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, r.answer);
    EXPECT_EQ(requests().size() - requests_before, r.requests);
    EXPECT_EQ(bed->urbs_submitted(*device, bulk_in_endpoint) - urbs_before, r.requests);
  }
  expect_host_clean();
}

TEST_F(usb_e2e, resource_names_are_matched_loosely_and_a_missing_device_is_not_found) {
  plug();
  for (const std::string name : {"usb0::0x1234::0x5678::SN1::instr", "USB::4660::22136::SN1", "USB0::0x1234::0x5678::SN1::0::INSTR"}) {
    const auto result = run({"/c=*IDN?", "/l"}, name);
    EXPECT_EQ(result.status, 0) << name << ": " << describe(result);
    EXPECT_EQ(result.out, std::string(identification)) << name;
  }
  const auto wrong_serial = run({"/c=*IDN?"}, "USB0::0x1234::0x5678::SN2::INSTR");
  EXPECT_EQ(wrong_serial.status, exit_visa_failure) << describe(wrong_serial);
  EXPECT_TRUE(is_status_line(wrong_serial.err, visa_not_found));
  expect_host_clean();
}

// A block through buffers of every awkward size: the file holds exactly the answer, and no
// request asks for more than the buffer holds.
TEST_F(usb_e2e, block_into_a_file_through_small_buffers) {
  plug();
  constexpr std::size_t n = 3000;
  for (const std::size_t buffer : {1u, 13u, 500u, 512u, 4096u}) {
    SCOPED_TRACE(buffer);
    const auto file = files / ("block" + std::to_string(buffer));
    const auto result = run({"/c=BLOCK? 3000", "/b=" + std::to_string(buffer), "/o=" + file.string()});
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(first_difference(block_answer(n), read_file(file)), "same");
    for (const auto& r : requests()) ASSERT_LE(r.transfer_size, buffer);
  }
  expect_host_clean();
}

TEST_F(usb_e2e, long_command_goes_in_chunks_with_eom_only_on_the_last) {
  plug();
  const std::string command = "ECHO? 0123456789abcdef";
  const auto result = run({"/c=" + command, "/b=5"});
  ASSERT_EQ(result.status, 0) << describe(result);
  std::vector<std::uint8_t> eoms;
  for (const auto& t : device->out_transfers()) {
    if (t.msg_id == 1) eoms.push_back(t.attributes & 1);
  }
  ASSERT_EQ(eoms.size(), 5u);
  EXPECT_EQ(eoms, (std::vector<std::uint8_t>{0, 0, 0, 0, 1}));
  ASSERT_EQ(device->messages().size(), 1u);
  EXPECT_EQ(device->messages()[0].bytes, command);
  EXPECT_TRUE(device->messages()[0].end);
  std::string expected;
  for (const auto& piece : pieces(command, 5)) expected += echo(piece);
  for (const auto& piece : pieces("0123456789abcdef\n", 5)) expected += answer(piece);
  EXPECT_EQ(result.out, expected);
  expect_host_clean();
}

TEST_F(usb_e2e, write_only_then_a_forced_read_in_the_next_run) {
  plug();
  const auto write = run({"/c=*IDN?", "/w"});
  ASSERT_EQ(write.status, 0) << describe(write);
  EXPECT_EQ(write.out, echo("*IDN?"));
  EXPECT_TRUE(requests().empty());
  const auto read = run({"/r"});
  ASSERT_EQ(read.status, 0) << describe(read);
  EXPECT_EQ(read.out, answer(identification));
  expect_host_clean();
}

// A query that gets no answer in time: the read is aborted (INITIATE_ABORT_BULK_IN and the rest
// of the sequence), and the next program's query gets its own answer, not a stale one.
struct timeout_case {
  const char* name;
  const char* command;
  usb_failures failures;
  friend void PrintTo(const timeout_case& c, std::ostream* os) { *os << c.name; }
};

class usb_timeouts : public usb_e2e, public ::testing::WithParamInterface<timeout_case> {};

TEST_P(usb_timeouts, end_in_a_timeout_after_which_the_next_query_works) {
  auto failures = GetParam().failures;
  plug({}, 0, failures);
  const auto timed_out = run({std::string("/c=") + GetParam().command, "/t=300"});
  EXPECT_FALSE(timed_out.hung);
  EXPECT_EQ(timed_out.status, exit_visa_failure) << describe(timed_out);
  EXPECT_TRUE(is_status_line(timed_out.err, visa_timeout));
  EXPECT_GE(device->class_requests(initiate_abort_bulk_in), 1u);
  device->set_failures({});
  const auto next = run({"/c=*IDN?", "/l"});
  EXPECT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, std::string(identification));
  expect_host_clean();
}

INSTANTIATE_TEST_SUITE_P(
    usb, usb_timeouts,
    ::testing::Values(timeout_case{"silent", "SILENT?", {}},
                      timeout_case{"mute", "*IDN?", {.mute = true}},
                      timeout_case{"late_answer", "*IDN?", {.late_answer = std::chrono::milliseconds(700)}},
                      timeout_case{"slow_abort", "SILENT?", {.pending_checks = 3}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(usb_e2e, stalled_read_is_reported_and_the_halt_cleared_for_the_next_run) {
  plug({}, 0, {.stall_bulk_in = true});
  const auto stalled = run({"/c=*IDN?"});
  EXPECT_FALSE(stalled.hung);
  EXPECT_EQ(stalled.status, exit_visa_failure) << describe(stalled);
  EXPECT_EQ(stalled.err.rfind("VISA Status (", 0), 0u) << stalled.err;
  EXPECT_GE(device->halts_cleared(0x82), 1u);
  const auto next = run({"/c=*IDN?", "/l"});
  EXPECT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, std::string(identification));
  expect_host_clean();
}

TEST_F(usb_e2e, unplugged_mid_answer_is_connection_lost_with_the_bytes_kept) {
  usb_failures failures;
  failures.unplug_after = 100000;
  plug({}, 0, failures);
  const auto file = files / "partial";
  const auto result = run({"/c=BLOCK? 1000000", "/b=20000", "/o=" + file.string()});
  EXPECT_FALSE(result.hung);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_connection_lost));
  const std::string got = read_file(file);
  EXPECT_GT(got.size(), 50000u);
  EXPECT_EQ(got, block_answer(1000000).substr(0, got.size()));
}

// Devices that bend the framing: what can be taken without risking wrong data is taken, the
// rest is reported with one status line; never a hang, never a wrong file with success.
struct quirk_case {
  const char* name;
  unsigned quirks;
  bool tolerated;
  friend void PrintTo(const quirk_case& c, std::ostream* os) { *os << c.name; }
};

class usb_quirks : public usb_e2e, public ::testing::WithParamInterface<quirk_case> {};

TEST_P(usb_quirks, are_tolerated_or_reported) {
  plug({}, GetParam().quirks);
  constexpr std::size_t n = 5000;
  const auto file = files / "block";
  // 1012 data bytes in a transfer: 12 + 1012 = 1024, whole packets, where a ZLP matters.
  const auto result = run({"/c=BLOCK? 5000", "/b=1012", "/o=" + file.string(), "/t=1000"});
  EXPECT_FALSE(result.hung);
  if (GetParam().tolerated) {
    ASSERT_EQ(result.status, 0) << describe(result);
  }
  if (result.status == 0) {
    EXPECT_EQ(first_difference(block_answer(n), read_file(file)), "same");
  } else {
    EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
    EXPECT_EQ(result.err.rfind("VISA Status (", 0), 0u) << result.err;
  }
  // Whatever happened, the next query of a well-behaved moment works.
  device->set_quirks(0);
  const auto next = run({"/c=*IDN?", "/l"});
  EXPECT_EQ(next.status, 0) << describe(next);
  EXPECT_EQ(next.out, std::string(identification));
}

INSTANTIATE_TEST_SUITE_P(
    usb, usb_quirks,
    ::testing::Values(quirk_case{"split_header", quirk_split_header, true},
                      quirk_case{"no_zlp", quirk_no_zlp, true},
                      quirk_case{"wrong_btag_continuation", quirk_wrong_btag_continuation, true},
                      quirk_case{"eom_every_transfer", quirk_eom_every_transfer, true},
                      quirk_case{"more_than_asked", quirk_more_than_asked, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A device that leaves out the zero-length packet after an answer ending on a whole packet,
// shorter than the read waiting for it: the answer is taken as it stands, not at the timeout,
// which is longer than the bound on the child process, so waiting it out shows as a hang.
TEST_F(usb_e2e, answer_without_its_zero_length_packet_is_not_held_up) {
  plug({}, quirk_no_zlp);
  const std::string packet_text(499, 'p');
  for (int i = 0; i < 2; ++i) {
    const auto result = run({"/c=ECHO? " + packet_text, "/l", "/t=100000"});
    ASSERT_FALSE(result.hung) << "the read waited for a zero-length packet that never came";
    ASSERT_EQ(result.status, 0) << describe(result);
    EXPECT_EQ(result.out, packet_text + "\n");
  }
  expect_host_clean();
}

// A user who may not open the device node (here the node is writable by nobody, and a root
// test runs kobrant as the unprivileged user nobody, since root may open it all the same).
TEST_F(usb_e2e, device_the_user_may_not_open_is_no_permission_with_a_hint) {
  plug();
  // The user must reach the emulated trees, as anyone may read /sys and /dev on a real system,
  // bind the socket that stands in for the kernel's device events in the testbed's root, and
  // connect to the node's ioctl socket, which umockdev's preload does even after a refused open.
  namespace fs = std::filesystem;
  const fs::path root = bed->root();
  ASSERT_EQ(::chmod(root.parent_path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(root.c_str(), 01777), 0);
  ASSERT_EQ(::chmod((root / "ioctl/dev/bus/usb/001/002").c_str(), 0666), 0);
  const fs::path node = root / "dev/bus/usb/001/002";
  ASSERT_EQ(::chmod(node.c_str(), 0444), 0) << node;
  const std::vector<std::string> args = {"/a=" + usb_resource, "/c=*IDN?"};
  process_result result;
  if (::geteuid() == 0) {
    constexpr const char* setpriv = "/usr/bin/setpriv";
    if (::access(setpriv, X_OK) != 0) GTEST_SKIP() << "running as root, and no " << setpriv << " to drop privileges";
    std::vector<std::string> as_nobody = {"--reuid=65534", "--regid=65534", "--clear-groups", "--", kobrant_path()};
    as_nobody.insert(as_nobody.end(), args.begin(), args.end());
    result = run_process(setpriv, as_nobody);
  } else {
    result = run_kobrant(args);
  }
  EXPECT_FALSE(result.hung);
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_no_permission));
  EXPECT_NE(result.err.find("udev rules"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("/dev/bus/usb/001/002"), std::string::npos) << result.err;
  EXPECT_TRUE(device->out_transfers().empty());
  EXPECT_TRUE(device->kernel_driver_bound());
}

// The second way in: the kernel driver's /dev/usbtmcN when usbfs cannot be opened. The same
// answers, the same recovery after a timeout, and the same message boundaries.
TEST_F(usb_e2e, through_the_kernel_driver_node_queries_blocks_timeouts_and_chunks_work) {
  plug_behind_kernel_driver();
  const auto query = run({"/c=*IDN?"});
  ASSERT_EQ(query.status, 0) << describe(query);
  EXPECT_EQ(query.out, echo("*IDN?") + answer(identification));

  const auto file = files / "block";
  const std::size_t earlier = requests().size();
  const auto block = run({"/c=BLOCK? 3000", "/b=500", "/o=" + file.string()});
  ASSERT_EQ(block.status, 0) << describe(block);
  EXPECT_EQ(first_difference(block_answer(3000), read_file(file)), "same");
  const auto asked = requests();
  for (std::size_t i = earlier; i < asked.size(); ++i) EXPECT_LE(asked[i].transfer_size, 500u);

  const auto timed_out = run({"/c=SILENT?", "/t=300"});
  EXPECT_EQ(timed_out.status, exit_visa_failure) << describe(timed_out);
  EXPECT_TRUE(is_status_line(timed_out.err, visa_timeout));
  EXPECT_GE(device->class_requests(initiate_abort_bulk_in), 1u);

  const auto chunked = run({"/c=ECHO? 0123456789", "/b=4", "/l"});
  EXPECT_EQ(chunked.status, 0) << describe(chunked);
  EXPECT_EQ(chunked.out, "0123456789\n");
  ASSERT_FALSE(device->messages().empty());
  EXPECT_EQ(device->messages().back().bytes, "ECHO? 0123456789");
  EXPECT_TRUE(device->messages().back().end);
  EXPECT_EQ(device->violations(), std::vector<std::string>{});
}

TEST_F(usb_e2e, two_identical_devices_are_not_found_rather_than_guessed) {
  plug();
  usb_identity twin;
  twin.devnum = 3;
  usbtmc_device second(twin);
  bed->plug(second);
  const auto result = run({"/c=*IDN?"});
  EXPECT_EQ(result.status, exit_visa_failure) << describe(result);
  EXPECT_TRUE(is_status_line(result.err, visa_not_found));
  EXPECT_TRUE(device->messages().empty());
  EXPECT_TRUE(second.messages().empty());
}

TEST_F(usb_e2e, listing_names_each_tmc_interface_in_canonical_form) {
  if (!in_private_network()) {
    GTEST_SKIP() << "lists resources, which only a private network namespace keeps to this machine: "
                 << private_network_failure();
  }
  plug();
  usb_identity plain;
  plain.devnum = 3;
  plain.product_id = 0x00AB;
  plain.serial = "";
  plain.interface_protocol = 0;
  usbtmc_device second(plain);
  bed->plug(second);
  const auto result = run_kobrant({});
  EXPECT_FALSE(result.hung);
  std::istringstream lines(result.out);
  std::vector<std::string> usb;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("USB")) usb.push_back(line);
  }
  EXPECT_EQ(usb, (std::vector<std::string>{"USB0::0x1234::0x5678::SN1::0::INSTR", "USB0::0x1234::0x00AB::::0::INSTR"}));
  // Listing opens nothing.
  EXPECT_TRUE(device->out_transfers().empty());
  // The one device without a serial number is opened by a name without it.
  const auto result2 = run({"/c=*IDN?", "/l"}, "USB0::0x1234::0x00AB::::INSTR");
  EXPECT_EQ(result2.status, 0) << describe(result2);
  EXPECT_EQ(result2.out, std::string(identification));
}

}  // namespace
}  // namespace kobrant::test
