// The checks both line mappings (termios on POSIX, the DCB on Windows) must pass, over the
// system's line record: values read back in their attribute's own type; an accepted value
// reads back as set and disturbs no other setting; a refused one changes nothing.
#pragma once

#include "serial_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace kobrant::test {

using kobrant::visa::serial::line_settings;

inline ViAttrState read_back(const line_settings& line, ViAttr attr) {
  ViUInt32 wide = 0;
  ViUInt16 narrow = 0;
  ViUInt8 byte = 0;
  void* out = attr == VI_ATTR_ASRL_BAUD ? static_cast<void*>(&wide)
              : (attr == VI_ATTR_ASRL_XON_CHAR || attr == VI_ATTR_ASRL_XOFF_CHAR) ? static_cast<void*>(&byte)
                                                                                   : static_cast<void*>(&narrow);
  EXPECT_EQ(visa::serial::get_line_attribute(line, attr, out), VI_SUCCESS);
  return wide + narrow + byte;
}

// The values of one attribute the mapping must take, and those it must refuse.
struct line_domain {
  ViAttr attr;
  std::vector<ViAttrState> accepted;
  std::vector<ViAttrState> refused;
};

// Sets every value of every domain in turn, starting from the defaults.
inline void check_line_domains(const std::vector<line_domain>& domains) {
  using namespace kobrant::visa::serial;
  line_settings line{};
  make_default_line(line);
  for (const auto& d : domains) {
    for (const ViAttrState value : d.accepted) {
      const line_settings before = line;
      ASSERT_EQ(set_line_attribute(line, d.attr, value), VI_SUCCESS) << std::hex << d.attr << std::dec << " " << value;
      EXPECT_EQ(read_back(line, d.attr), value) << std::hex << d.attr;
      for (const auto& other : domains) {
        if (other.attr == d.attr) continue;
        EXPECT_EQ(read_back(line, other.attr), read_back(before, other.attr)) << std::hex << other.attr;
      }
      // The read-back check after a change relies on seeing every change.
      EXPECT_EQ(same_line_settings(line, before), read_back(before, d.attr) == value);
    }
    for (const ViAttrState value : d.refused) {
      const line_settings before = line;
      EXPECT_EQ(set_line_attribute(line, d.attr, value), VI_ERROR_NSUP_ATTR_STATE) << std::hex << d.attr;
      EXPECT_EQ(std::memcmp(&line, &before, sizeof line), 0);
    }
  }
}

}  // namespace kobrant::test
