// The mapping of the serial attributes onto termios: the defaults leave nothing of a cooked
// terminal that would change bytes, accepted values read back as set without disturbing the
// other settings, refused values change nothing.
#include "serial_line_checks.h"

#include <gtest/gtest.h>


namespace {

using namespace kobrant::visa::serial;
using kobrant::test::check_line_domains;
using kobrant::test::read_back;

TEST(serial_line, defaults_are_raw_9600_8n1_without_flow_control_whatever_came_before) {
  // A terminal as a shell leaves it.
  termios t{};
  t.c_iflag = ICRNL | IXON | IXOFF | ISTRIP | INPCK | INLCR | IGNCR | BRKINT | PARMRK;
  t.c_oflag = OPOST | ONLCR;
  t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
  t.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
  cfsetospeed(&t, B115200);
  make_default_line(t);

  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_BAUD), 9600u);
  EXPECT_EQ(cfgetispeed(&t), B9600);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_DATA_BITS), 8u);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_PARITY), VI_ASRL_PAR_NONE);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_STOP_BITS), VI_ASRL_STOP_ONE);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_FLOW_CNTRL), VI_ASRL_FLOW_NONE);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_XON_CHAR), 0x11u);
  EXPECT_EQ(read_back(t, VI_ATTR_ASRL_XOFF_CHAR), 0x13u);
  // Any of these would change, drop or answer bytes of a binary block.
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK | PARMRK | BRKINT), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
  // VMIN 1: on a non-blocking port an empty queue reads as EAGAIN, not as 0 (hang-up).
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  EXPECT_EQ(t.c_cflag & HUPCL, HUPCL);  // nothing the attributes do not cover is touched
}

TEST(serial_line, accepted_values_read_back_alone_and_refused_ones_change_nothing) {
  check_line_domains({
      {VI_ATTR_ASRL_BAUD, {50, 1200, 9600, 115200, 921600, 4000000}, {0, 1, 9601, 5000000}},
      {VI_ATTR_ASRL_DATA_BITS, {5, 6, 7, 8}, {4, 9}},
      {VI_ATTR_ASRL_PARITY, {VI_ASRL_PAR_ODD, VI_ASRL_PAR_EVEN, VI_ASRL_PAR_MARK, VI_ASRL_PAR_SPACE, VI_ASRL_PAR_NONE}, {5}},
      {VI_ATTR_ASRL_STOP_BITS, {VI_ASRL_STOP_TWO, VI_ASRL_STOP_ONE}, {VI_ASRL_STOP_ONE5, 0}},
      {VI_ATTR_ASRL_FLOW_CNTRL, {VI_ASRL_FLOW_XON_XOFF, VI_ASRL_FLOW_RTS_CTS, VI_ASRL_FLOW_XON_XOFF | VI_ASRL_FLOW_RTS_CTS, VI_ASRL_FLOW_NONE}, {VI_ASRL_FLOW_DTR_DSR, 8}},
      {VI_ATTR_ASRL_XON_CHAR, {0, 0xFF}, {0x100}},
      {VI_ATTR_ASRL_XOFF_CHAR, {0, 0xFF}, {0x100}},
  });
}

TEST(serial_line, mark_and_space_parity_use_the_sticky_parity_flag) {
  termios t{};
  make_default_line(t);
  ASSERT_EQ(set_line_attribute(t, VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_MARK), VI_SUCCESS);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), PARENB | PARODD | CMSPAR);
  ASSERT_EQ(set_line_attribute(t, VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_SPACE), VI_SUCCESS);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), PARENB | CMSPAR);
  ASSERT_EQ(set_line_attribute(t, VI_ATTR_ASRL_PARITY, VI_ASRL_PAR_ODD), VI_SUCCESS);
  EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), PARENB | PARODD);
}

}  // namespace
