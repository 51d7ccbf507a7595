// The mapping of the serial attributes onto a Windows port's DCB: the defaults leave nothing
// that would change, drop or wait on bytes, accepted values read back as set without
// disturbing the other settings, refused values change nothing, and the settings a DCB can
// express beyond termios (any rate, 1.5 stop bits, DTR/DSR handshaking) are taken.
#include "serial_line_checks.h"

#include <gtest/gtest.h>


namespace {

using namespace kobrant::visa::serial;
using kobrant::test::check_line_domains;
using kobrant::test::read_back;

TEST(serial_line_windows, defaults_are_binary_9600_8n1_without_flow_control_whatever_came_before) {
  // A port as another program may leave it.
  DCB line{};
  line.BaudRate = 115200;
  line.ByteSize = 7;
  line.Parity = EVENPARITY;
  line.fParity = TRUE;
  line.StopBits = TWOSTOPBITS;
  line.fOutX = line.fInX = TRUE;
  line.fOutxCtsFlow = line.fOutxDsrFlow = line.fDsrSensitivity = TRUE;
  line.fRtsControl = RTS_CONTROL_HANDSHAKE;
  line.fErrorChar = line.fNull = line.fAbortOnError = TRUE;
  line.EofChar = 0x1A;
  make_default_line(line);

  EXPECT_EQ(line.DCBlength, sizeof line);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_BAUD), 9600u);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_DATA_BITS), 8u);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_PARITY), VI_ASRL_PAR_NONE);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_STOP_BITS), VI_ASRL_STOP_ONE);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_FLOW_CNTRL), VI_ASRL_FLOW_NONE);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_XON_CHAR), 0x11u);
  EXPECT_EQ(read_back(line, VI_ATTR_ASRL_XOFF_CHAR), 0x13u);
  // Any of these would change, drop or hold back bytes of a binary block.
  EXPECT_TRUE(line.fBinary);
  EXPECT_FALSE(line.fParity || line.fErrorChar || line.fNull || line.fAbortOnError || line.fDsrSensitivity);
  EXPECT_FALSE(line.fOutxCtsFlow || line.fOutxDsrFlow || line.fOutX || line.fInX);
}

TEST(serial_line_windows, accepted_values_read_back_alone_and_refused_ones_change_nothing) {
  check_line_domains({
      {VI_ATTR_ASRL_BAUD, {50, 1200, 9601, 115200, 250000, 4000000}, {0}},
      {VI_ATTR_ASRL_DATA_BITS, {5, 6, 7, 8}, {4, 9}},
      {VI_ATTR_ASRL_PARITY, {VI_ASRL_PAR_ODD, VI_ASRL_PAR_EVEN, VI_ASRL_PAR_MARK, VI_ASRL_PAR_SPACE, VI_ASRL_PAR_NONE}, {5}},
      {VI_ATTR_ASRL_STOP_BITS, {VI_ASRL_STOP_TWO, VI_ASRL_STOP_ONE5, VI_ASRL_STOP_ONE}, {0, 11}},
      {VI_ATTR_ASRL_FLOW_CNTRL,
       {VI_ASRL_FLOW_XON_XOFF, VI_ASRL_FLOW_RTS_CTS, VI_ASRL_FLOW_DTR_DSR,
        VI_ASRL_FLOW_XON_XOFF | VI_ASRL_FLOW_RTS_CTS, VI_ASRL_FLOW_NONE},
       {8}},
      {VI_ATTR_ASRL_XON_CHAR, {0, 0xFF}, {0x100}},
      {VI_ATTR_ASRL_XOFF_CHAR, {0, 0xFF}, {0x100}},
  });
}

TEST(serial_line_windows, parity_and_handshakes_set_the_flags_the_driver_acts_on) {
  DCB line{};
  make_default_line(line);
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_MARK), VI_SUCCESS);
  EXPECT_EQ(line.Parity, MARKPARITY);
  EXPECT_TRUE(line.fParity);
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_RTS_CTS | VI_ASRL_FLOW_DTR_DSR), VI_SUCCESS);
  EXPECT_TRUE(line.fOutxCtsFlow && line.fOutxDsrFlow);
  EXPECT_EQ(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
  EXPECT_EQ(line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
  // Without a handshake the lines stay asserted, as a device powered from them expects.
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_FLOW_CNTRL, VI_ASRL_FLOW_NONE), VI_SUCCESS);
  EXPECT_EQ(line.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
  EXPECT_EQ(line.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
}

TEST(serial_line_windows, transmit_time_counts_start_parity_and_half_stop_bits) {
  DCB line{};
  make_default_line(line);
  EXPECT_EQ(transmit_ms(line, 960), 1000u);  // 10 bits a character at 9600 baud
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_DATA_BITS, 5), VI_SUCCESS);
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_STOP_BITS, VI_ASRL_STOP_ONE5), VI_SUCCESS);
  ASSERT_EQ(set_line_attribute(line, VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_EVEN), VI_SUCCESS);
  EXPECT_EQ(transmit_ms(line, 960), 850u);  // 1 + 5 + 1 + 1.5 = 8.5 bits a character
}

}  // namespace
