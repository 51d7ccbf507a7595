// One session of the VISA C API, for tests that drive the library in their own process: opened
// on a resource, written to and read from with strings, closed (with its manager) at the end.
// Include it only where the library is linked.
#pragma once

#include <kobrant/visa.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace kobrant::test {

class visa_session {
 public:
  visa_session() = default;
  ~visa_session() { close(); }
  visa_session(const visa_session&) = delete;
  visa_session& operator=(const visa_session&) = delete;

  // Opens the resource manager unless it is open, then the resource, with an open bound in
  // milliseconds.
  ViStatus open_resource(const std::string& resource, ViUInt32 open_timeout = 5000) {
    if (rm == VI_NULL) {
      const ViStatus status = viOpenDefaultRM(&rm);
      if (status < VI_SUCCESS) return status;
    }
    return viOpen(rm, resource.c_str(), VI_NULL, open_timeout, &vi);
  }
  // A write that succeeds must have taken every byte.
  ViStatus write(std::string_view text) const {
    ViUInt32 sent = 0;
    const ViStatus status = viWrite(vi, reinterpret_cast<ViConstBuf>(text.data()), static_cast<ViUInt32>(text.size()), &sent);
    if (status >= VI_SUCCESS) {
      EXPECT_EQ(sent, text.size());
    }
    return status;
  }
  // Reads at most count bytes into out (exactly the bytes that came).
  ViStatus read(std::string& out, ViUInt32 count) const {
    std::string buf(count, '\0');
    ViUInt32 got = 0;
    const ViStatus status = viRead(vi, reinterpret_cast<ViBuf>(buf.data()), count, &got);
    out = buf.substr(0, got);
    return status;
  }
  // Closing the manager closes the session with it.
  void close() {
    if (rm != VI_NULL) viClose(rm);
    rm = vi = VI_NULL;
  }

  ViSession rm = VI_NULL;
  ViSession vi = VI_NULL;
};

}  // namespace kobrant::test
