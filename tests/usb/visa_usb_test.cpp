// The library over USB in this process, through the VISA C API, against the emulated
// instrument: what pyvisa and other callers use beyond kobrant's write-and-read: reads in small
// counts, device clear, the status byte (from the interrupt endpoint when there is one, from
// the control reply otherwise), and recovery after a timeout. Each case opens the device once.
#include <gtest/gtest.h>

#include <optional>

#include "patterns.h"
#include "usbfs_emulation.h"
#include "visa_session.h"

namespace kobrant::test {
namespace {

const std::string usb_resource = "USB0::0x1234::0x5678::SN1::INSTR";

class visa_usb : public ::testing::Test {
 protected:
  void SetUp() override { SKIP_WITHOUT_USB_EMULATION(); }
  void plug(usb_identity identity = {}) {
    device.emplace(identity);
    bed.emplace();
    bed->plug(*device);
    ASSERT_EQ(session.open_resource(usb_resource), VI_SUCCESS);
  }
  void TearDown() override {
    session.close();
    if (device) {
      EXPECT_EQ(device->violations(), std::vector<std::string>{});
      EXPECT_TRUE(device->kernel_driver_bound()) << "the kernel driver was not re-attached";
    }
  }

  std::optional<usbtmc_device> device;
  std::optional<usb_testbed> bed;
  visa_session session;
};

TEST_F(visa_usb, reads_in_small_counts_say_more_follows_until_the_end) {
  plug();
  ASSERT_EQ(session.write("*IDN?"), VI_SUCCESS);
  std::string all;
  ViStatus status = VI_SUCCESS_MAX_CNT;
  int reads = 0;
  while (status == VI_SUCCESS_MAX_CNT && reads++ < 100) {
    std::string piece;
    status = session.read(piece, 3);
    EXPECT_LE(piece.size(), 3u);
    all += piece;
  }
  EXPECT_EQ(status, VI_SUCCESS);
  EXPECT_EQ(all, std::string(identification));
}

TEST_F(visa_usb, clear_runs_the_clear_sequence_and_drops_the_unread_answer) {
  plug();
  ASSERT_EQ(session.write("BLOCK? 100000"), VI_SUCCESS);
  std::string piece;
  ASSERT_EQ(session.read(piece, 1000), VI_SUCCESS_MAX_CNT);
  ASSERT_EQ(viClear(session.vi), VI_SUCCESS);
  EXPECT_EQ(device->class_requests(5), 1u);  // INITIATE_CLEAR
  EXPECT_GE(device->class_requests(6), 1u);  // CHECK_CLEAR_STATUS
  EXPECT_GE(device->halts_cleared(0x01), 1u);
  ASSERT_EQ(session.write("*IDN?"), VI_SUCCESS);
  ASSERT_EQ(session.read(piece, 1000), VI_SUCCESS);
  EXPECT_EQ(piece, std::string(identification));
}

TEST(visa_usb_status_byte, comes_from_the_interrupt_endpoint_or_the_control_reply) {
  SKIP_WITHOUT_USB_EMULATION();
  {
    const std::uint8_t interrupt_ep = 0x83;
    usbtmc_device device({.interrupt_in = interrupt_ep});
    usb_testbed bed;
    bed.plug(device);
    visa_session session;
    ASSERT_EQ(session.open_resource(usb_resource), VI_SUCCESS);
    ASSERT_EQ(session.write("STATUS 4"), VI_SUCCESS);
    ASSERT_EQ(session.write("*IDN?"), VI_SUCCESS);
    ViUInt16 stb = 0;
    ASSERT_EQ(viReadSTB(session.vi, &stb), VI_SUCCESS);
    EXPECT_EQ(stb, 0x14);  // the instrument's bit 2, and MAV: an answer waits
    session.close();
    EXPECT_EQ(device.class_requests(128), 1u);
    EXPECT_EQ(device.violations(), std::vector<std::string>{});
  }
}

TEST(visa_usb_status_byte, comes_in_the_control_reply_without_an_interrupt_endpoint) {
  SKIP_WITHOUT_USB_EMULATION();
  usbtmc_device device({.interrupt_in = 0});
  usb_testbed bed;
  bed.plug(device);
  visa_session session;
  ASSERT_EQ(session.open_resource(usb_resource), VI_SUCCESS);
  ASSERT_EQ(session.write("STATUS 4"), VI_SUCCESS);
  ViUInt16 stb = 0;
  ASSERT_EQ(viReadSTB(session.vi, &stb), VI_SUCCESS);
  EXPECT_EQ(stb, 0x04);
  session.close();
  EXPECT_EQ(device.violations(), std::vector<std::string>{});
}

// A zero timeout gives the device one short look and must never become libusb's "wait
// forever"; after either timeout the session still answers.
TEST_F(visa_usb, reads_that_time_out_leave_the_session_usable) {
  plug();
  for (const ViUInt32 timeout_ms : {0u, 200u}) {
    SCOPED_TRACE(timeout_ms);
    ASSERT_EQ(viSetAttribute(session.vi, VI_ATTR_TMO_VALUE, timeout_ms), VI_SUCCESS);
    ASSERT_EQ(session.write("SILENT?"), VI_SUCCESS);
    std::string piece;
    EXPECT_EQ(session.read(piece, 100), VI_ERROR_TMO);
    ASSERT_EQ(viSetAttribute(session.vi, VI_ATTR_TMO_VALUE, 2000), VI_SUCCESS);
    ASSERT_EQ(session.write("*IDN?"), VI_SUCCESS);
    EXPECT_EQ(session.read(piece, 100), VI_SUCCESS);
    EXPECT_EQ(piece, std::string(identification));
  }
}

}  // namespace
}  // namespace kobrant::test
