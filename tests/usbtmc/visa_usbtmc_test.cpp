// The USB row through the C API where no device answers: a name that matches nothing fails
// with VI_ERROR_RSRC_NFOUND and says why, and a malformed one never reaches the bus.
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(visa_usbtmc, opening_a_device_that_is_not_there) {
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViSession vi = VI_NULL;
  const ViStatus status = viOpen(rm, "USB0::0xFFFE::0xFFFD::NO-SUCH-SERIAL::INSTR", VI_NULL, 2000, &vi);
  EXPECT_EQ(status, VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(vi, VI_NULL);
  ViChar text[256] = {};
  viStatusDesc(rm, status, text);
  EXPECT_NE(std::string(text).find("matches this name"), std::string::npos) << text;
  EXPECT_EQ(viOpen(rm, "USB0::0x10000::0x1::SN::INSTR", VI_NULL, 2000, &vi), VI_ERROR_INV_RSRC_NAME);
  viClose(rm);
}

}  // namespace
