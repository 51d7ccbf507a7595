// The transport table: which row a parsed name selects, and what that row says about the link.
#include "transport.h"

#include <gtest/gtest.h>

namespace kobrant::visa {
namespace {

TEST(transports, each_name_selects_the_row_of_its_interface_class_and_address) {
  struct row {
    const char* name;
    std::string_view transport;
    bool carries_end;
    bool available;
  };
  const row rows[] = {
      {"TCPIP::h::5025::SOCKET", "SOCKET", false, true},
      {"TCPIP::h", "VXI-11", true, true},
      {"TCPIP::h::gpib0,5::INSTR", "VXI-11", true, true},
      {"TCPIP::h::hislip0", "HiSLIP", true, true},
      {"ASRL1::INSTR", "serial", false, true},
      {"ASRL/dev/ttyUSB0::INSTR", "serial", false, true},
      {"USB::1::2::SN::INSTR", "USBTMC", true, true},
      {"USB::1::2::SN::RAW", "USB raw", true, false},
      {"GPIB::5", "GPIB", true, false},
      {"VXI::5::INSTR", "VXI", true, false},
      {"GPIB-VXI::5", "GPIB-VXI", true, false},
      {"PXI::3::INSTR", "PXI", true, false},
      {"TCPIP::SERVANT", "unsupported", true, false},
      {"GPIB0::INTFC", "unsupported", true, false},
  };
  for (const row& want : rows) {
    SCOPED_TRACE(want.name);
    resource_name name;
    ASSERT_EQ(parse_resource_name(want.name, name), VI_SUCCESS);
    const transport_entry& entry = transport_for(name);
    EXPECT_EQ(entry.name, want.transport);
    EXPECT_EQ(entry.carries_end, want.carries_end);
    EXPECT_EQ(entry.make != nullptr, want.available);
  }
}

// A row that declares name attributes must be able to answer them, or a get would call nothing.
TEST(transports, rows_that_declare_name_attributes_answer_them) {
  for (const transport_entry* entry : all_transports()) {
    SCOPED_TRACE(entry->name);
    EXPECT_EQ(entry->name_attributes.empty(), entry->get_name_attribute == nullptr);
  }
}

}  // namespace
}  // namespace kobrant::visa
