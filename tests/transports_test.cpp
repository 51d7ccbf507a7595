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

// A LAN service that discovery found is named by exactly one row, in canonical form, and that
// name opens through the same row: the listing's names work as they are printed.
TEST(transports, one_row_names_each_discovered_service_and_that_name_selects_it) {
  const struct {
    lan_service found;
    const char* name;
  } cases[] = {
      {{0xC000020A, lan_protocol::vxi11, 0}, "TCPIP0::192.0.2.10::inst0::INSTR"},
      {{0xC000020A, lan_protocol::hislip, 4880}, "TCPIP0::192.0.2.10::hislip0::INSTR"},
      {{0xC000020A, lan_protocol::hislip, 4881}, "TCPIP0::192.0.2.10::hislip0,4881::INSTR"},
      {{0x0A000001, lan_protocol::socket, 5025}, "TCPIP0::10.0.0.1::5025::SOCKET"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const transport_entry* naming = nullptr;
    for (const transport_entry* entry : all_transports()) {
      if (!entry->discovered_name) continue;
      const std::string name = entry->discovered_name(c.found);
      if (name.empty()) continue;
      EXPECT_EQ(naming, nullptr) << "named twice";
      naming = entry;
      EXPECT_EQ(name, c.name);
    }
    ASSERT_NE(naming, nullptr);
    resource_name parsed;
    ASSERT_EQ(parse_resource_name(c.name, parsed), VI_SUCCESS);
    EXPECT_EQ(parsed.canonical, c.name);
    EXPECT_EQ(&transport_for(parsed), naming);
  }
}

}  // namespace
}  // namespace kobrant::visa
