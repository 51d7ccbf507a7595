// The library's core through the C API: handles, opening, attributes, search, descriptions.
#include "status_text.h"
#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

// A loopback port with nothing listening on it: bound, then closed.
int unused_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

TEST(visa_core, open_failures_have_distinct_statuses) {
  ViSession rm = VI_NULL, vi = 123;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  std::string refused = "TCPIP0::127.0.0.1::" + std::to_string(unused_port()) + "::SOCKET";
  EXPECT_EQ(viOpen(rm, refused.c_str(), VI_NULL, 5000, &vi), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(vi, static_cast<ViSession>(VI_NULL));
  EXPECT_EQ(viOpen(rm, "TCPIP0::127.0.0.1::99999::SOCKET", VI_NULL, 5000, &vi), VI_ERROR_INV_RSRC_NAME);
  EXPECT_EQ(viOpen(rm, "GPIB0::1::INSTR", VI_NULL, 5000, &vi), VI_ERROR_NSUP_OPER);
  EXPECT_EQ(viOpen(rm, "TCPIP0::no-such-host.invalid::5025::SOCKET", VI_NULL, 5000, &vi), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(viOpen(rm, refused.c_str(), 0x80, 5000, &vi), VI_ERROR_INV_ACC_MODE);
  EXPECT_EQ(viOpen(vi, refused.c_str(), VI_NULL, 5000, &vi), VI_ERROR_INV_OBJECT) << "not a manager";
  EXPECT_EQ(viClose(rm), VI_SUCCESS);
}

TEST(visa_core, closing_the_manager_closes_its_sessions_and_lists) {
  int listener = ::socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(listener);
    GTEST_SKIP() << "no IPv6 loopback here";
  }
  ::listen(listener, 4);
  socklen_t len = sizeof addr;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::string name = "TCPIP0::[::1]::" + std::to_string(ntohs(addr.sin6_port)) + "::SOCKET";

  ViSession rm = VI_NULL, other = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ASSERT_EQ(viOpenDefaultRM(&other), VI_SUCCESS);
  EXPECT_NE(rm, other);
  ASSERT_EQ(viOpen(rm, name.c_str(), VI_NULL, 0, &vi), VI_SUCCESS) << "IPv6 literal, default open bound";

  char text[256];
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_RSRC_NAME, text), VI_SUCCESS);
  EXPECT_EQ(std::string(text), name);
  ViUInt32 tmo = 0;
  ASSERT_EQ(viGetAttribute(vi, VI_ATTR_TMO_VALUE, &tmo), VI_SUCCESS);
  EXPECT_EQ(tmo, 2000u) << "the standard's default";
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, VI_TMO_INFINITE), VI_SUCCESS);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_SEND_END_EN, 2), VI_ERROR_NSUP_ATTR_STATE);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TERMCHAR, 0x100), VI_ERROR_NSUP_ATTR_STATE);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_RSRC_NAME, 0), VI_ERROR_ATTR_READONLY);
  EXPECT_EQ(viSetAttribute(vi, 0x3FFF0021 /* serial baud */, 9600), VI_ERROR_NSUP_ATTR);

  EXPECT_EQ(viClose(rm), VI_SUCCESS);
  EXPECT_EQ(viSetAttribute(vi, VI_ATTR_TMO_VALUE, 1), VI_ERROR_INV_OBJECT);
  ViUInt32 n = 0;
  EXPECT_EQ(viWrite(vi, reinterpret_cast<ViConstBuf>("x"), 1, &n), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viClose(rm), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viClose(VI_NULL), VI_WARN_NULL_OBJECT);
  EXPECT_EQ(viClose(other), VI_SUCCESS);
  ::close(listener);
}

TEST(visa_core, search_without_matches_fails_and_bad_expressions_are_refused) {
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViFindList list = 77;
  ViUInt32 count = 99;
  char desc[VI_FIND_BUFLEN] = "untouched";
  // No transport in this build lists anything without hardware, so nothing can match.
  EXPECT_EQ(viFindRsrc(rm, "TCPIP?*", &list, &count, desc), VI_ERROR_RSRC_NFOUND);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list, static_cast<ViFindList>(VI_NULL));
  EXPECT_EQ(viFindRsrc(rm, "(", &list, &count, desc), VI_ERROR_INV_EXPR);
  EXPECT_EQ(viFindRsrc(rm, "?*{", &list, &count, desc), VI_ERROR_INV_EXPR);
  EXPECT_EQ(viFindRsrc(12345, "?*", &list, &count, desc), VI_ERROR_INV_OBJECT);
  EXPECT_EQ(viFindNext(12345, desc), VI_ERROR_INV_OBJECT);
  viClose(rm);
}

TEST(visa_core, every_status_has_a_description_that_fits) {
  char desc[256];
  EXPECT_EQ(viStatusDesc(VI_NULL, VI_ERROR_TMO, desc), VI_SUCCESS);
  EXPECT_NE(std::string(desc).find("Timeout"), std::string::npos);
  for (ViStatus st : {VI_SUCCESS, VI_SUCCESS_MAX_CNT, VI_ERROR_CONN_LOST, VI_ERROR_RSRC_NFOUND,
                      VI_ERROR_INV_RSRC_NAME, VI_ERROR_NSUP_OPER, VI_ERROR_ALLOC, VI_ERROR_IO,
                      VI_ERROR_INV_PROT}) {
    std::memset(desc, 'x', sizeof desc);
    EXPECT_EQ(viStatusDesc(VI_NULL, st, desc), VI_SUCCESS) << st;
    EXPECT_LT(std::strlen(desc), sizeof desc);
    EXPECT_GT(std::strlen(desc), 5u);
  }
  EXPECT_EQ(viStatusDesc(VI_NULL, -42, desc), VI_WARN_UNKNOWN_STATUS);
  EXPECT_NE(std::string(desc).find("-42"), std::string::npos);
}

TEST(visa_core, a_failed_open_names_its_reason_in_the_description_within_the_buffer) {
  ViSession rm = VI_NULL, vi = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  const std::string port = std::to_string(unused_port());
  const std::string refused = "TCPIP0::127.0.0.1::" + port + "::SOCKET";
  ASSERT_EQ(viOpen(rm, refused.c_str(), VI_NULL, 5000, &vi), VI_ERROR_RSRC_NFOUND);
  char desc[256];
  ASSERT_EQ(viStatusDesc(rm, VI_ERROR_RSRC_NFOUND, desc), VI_SUCCESS);
  EXPECT_TRUE(std::string(desc).ends_with(" (connect to 127.0.0.1:" + port + ": Connection refused)")) << desc;
  // The reason belongs to that status, and to the last open only.
  ASSERT_EQ(viStatusDesc(rm, VI_ERROR_TMO, desc), VI_SUCCESS);
  EXPECT_EQ(std::string(desc).find('('), std::string::npos) << desc;
  EXPECT_EQ(viOpen(rm, "TCPIP0::127.0.0.1::99999::SOCKET", VI_NULL, 5000, &vi), VI_ERROR_INV_RSRC_NAME);
  ASSERT_EQ(viStatusDesc(rm, VI_ERROR_RSRC_NFOUND, desc), VI_SUCCESS);
  EXPECT_EQ(std::string(desc).find('('), std::string::npos) << desc;
  EXPECT_EQ(viClose(rm), VI_SUCCESS);

  // However long the reason (a long host name), the text stops at the caller's 255 bytes.
  const std::string long_reason = "resolve " + std::string(400, 'h') + ": Name or service not known";
  const std::string cut = kobrant::visa::describe_status(VI_ERROR_RSRC_NFOUND, long_reason, 255);
  EXPECT_EQ(cut.size(), 255u);
  EXPECT_TRUE(cut.starts_with(kobrant::visa::status_text(VI_ERROR_RSRC_NFOUND)));
}

TEST(visa_core, parsed_names_come_back_whole_or_not_at_all) {
  ViSession rm = VI_NULL;
  ASSERT_EQ(viOpenDefaultRM(&rm), VI_SUCCESS);
  ViUInt16 type = 0, board = 99;
  char cls[VI_FIND_BUFLEN] = "", canonical[VI_FIND_BUFLEN] = "", alias[VI_FIND_BUFLEN] = "x";
  ASSERT_EQ(viParseRsrcEx(rm, "GPIB-VXI::7", &type, &board, cls, canonical, alias), VI_SUCCESS);
  EXPECT_EQ(type, VI_INTF_GPIB_VXI);
  EXPECT_EQ(board, 0);
  EXPECT_STREQ(cls, "INSTR");
  EXPECT_STREQ(canonical, "GPIB-VXI0::7::INSTR");
  EXPECT_STREQ(alias, "");
  EXPECT_EQ(viParseRsrcEx(rm, "VXI::5::BOGUS", &type, &board, cls, canonical, alias), VI_ERROR_INV_RSRC_NAME);

  // Its canonical form would need 257 bytes with the terminating zero.
  const std::string long_name = "TCPIP::" + std::string(234, 'h');
  std::strcpy(canonical, "untouched");
  EXPECT_EQ(viParseRsrcEx(rm, long_name.c_str(), &type, &board, cls, canonical, alias), VI_ERROR_INV_RSRC_NAME);
  EXPECT_STREQ(canonical, "untouched");
  viClose(rm);
}

}  // namespace
