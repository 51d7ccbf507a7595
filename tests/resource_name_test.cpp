// Resource-name parsing: which transport a name selects, its fields, and its canonical form.
#include "resource_name.h"

#include <gtest/gtest.h>

namespace kobrant::visa {
namespace {

resource_name parse_ok(const char* text) {
  resource_name r;
  EXPECT_EQ(parse_resource_name(text, r), VI_SUCCESS) << text;
  return r;
}

// The address of the kind A that r must hold; a test fails rather than crash if it holds another.
template <class A>
A address_of(const resource_name& r) {
  const A* a = std::get_if<A>(&r.address);
  EXPECT_NE(a, nullptr) << r.canonical << " holds address alternative " << r.address.index();
  return a ? *a : A{};
}

TEST(resource_name, sockets) {
  auto r = parse_ok("TCPIP::192.168.1.5::5025::SOCKET");
  auto a = address_of<socket_address>(r);
  EXPECT_EQ(a.host, "192.168.1.5");
  EXPECT_EQ(a.port, 5025);
  EXPECT_EQ(r.canonical, "TCPIP0::192.168.1.5::5025::SOCKET");

  r = parse_ok("tcpip3::[2001:db8::5]::5025::socket");
  EXPECT_EQ(r.board, 3u);
  EXPECT_EQ(address_of<socket_address>(r).host, "2001:db8::5");
  EXPECT_EQ(r.canonical, "TCPIP3::[2001:db8::5]::5025::SOCKET");

  r = parse_ok("TCPIP0::scope-7.lab.example::1234::SOCKET");
  EXPECT_EQ(address_of<socket_address>(r).host, "scope-7.lab.example");
}

TEST(resource_name, vxi11_and_hislip) {
  auto r = parse_ok("TCPIP::10.0.0.1");
  EXPECT_EQ(address_of<vxi11_address>(r).device_name, "inst0");
  EXPECT_EQ(address_of<vxi11_address>(r).host, "10.0.0.1");
  EXPECT_EQ(r.canonical, "TCPIP0::10.0.0.1::inst0::INSTR");

  r = parse_ok("TCPIP0::10.0.0.1::gpib0,5::INSTR");
  EXPECT_EQ(address_of<vxi11_address>(r).device_name, "gpib0,5");

  r = parse_ok("TCPIP0::[fe80::1]::hislip0::INSTR");
  auto h = address_of<hislip_address>(r);
  EXPECT_EQ(h.host, "fe80::1");
  EXPECT_EQ(h.port, 4880);
  EXPECT_EQ(h.device_name, "hislip0");

  r = parse_ok("TCPIP::h::HISLIP2,4881");
  EXPECT_EQ(address_of<hislip_address>(r).port, 4881);
  EXPECT_EQ(r.canonical, "TCPIP0::h::hislip2,4881::INSTR");
}

TEST(resource_name, usb_serial_gpib) {
  auto r = parse_ok("USB0::0x0957::6038::MY1234::INSTR");
  auto u = address_of<usb_address>(r);
  EXPECT_EQ(u.vendor_id, 0x0957);
  EXPECT_EQ(u.product_id, 6038);
  EXPECT_EQ(u.serial_number, "MY1234");
  EXPECT_EQ(u.usb_interface, -1);
  EXPECT_EQ(r.canonical, "USB0::0x0957::0x1796::MY1234::INSTR");
  r = parse_ok("USB::1::2::SN::3::RAW");
  EXPECT_EQ(address_of<usb_address>(r).usb_interface, 3);
  EXPECT_EQ(r.resource_class, "RAW");
  // A device without a serial number: the field is there, empty, and stays so.
  r = parse_ok("usb0::0x0AAD::0x01EF::::0::instr");
  EXPECT_EQ(address_of<usb_address>(r).serial_number, "");
  EXPECT_EQ(address_of<usb_address>(r).usb_interface, 0);
  EXPECT_EQ(r.canonical, "USB0::0x0AAD::0x01EF::::0::INSTR");

  r = parse_ok("ASRL7");
  EXPECT_EQ(address_of<asrl_address>(r).device_path, "");
  EXPECT_EQ(r.canonical, "ASRL7::INSTR");
  r = parse_ok("ASRL/dev/ttyUSB0::INSTR");
  EXPECT_EQ(address_of<asrl_address>(r).device_path, "/dev/ttyUSB0");

  r = parse_ok("GPIB0::12::3::INSTR");
  auto g = address_of<gpib_address>(r);
  EXPECT_EQ(g.primary_address, 12u);
  EXPECT_EQ(g.secondary_address, 3);
  EXPECT_EQ(parse_ok("VXI0::1::INSTR").address.index(), address_index<std::monostate>);
  EXPECT_EQ(parse_ok("GPIB0::INTFC").address.index(), address_index<std::monostate>);
}

TEST(resource_name, malformed_names_are_refused) {
  const char* bad[] = {
      "",
      "TCPIP",                                  // no host
      "TCPIP0::host::0::SOCKET",                // port 0
      "TCPIP0::host::65536::SOCKET",
      "TCPIP0::host::50x::SOCKET",
      "TCPIP0::host::5025",                     // a number is a device name, but no class...
      "TCPIP0::[::1::5025::SOCKET",             // unbalanced bracket
      "TCPIP0::[host]::5025::SOCKET",           // brackets hold only IPv6
      "TCPIP0::ho st::5025::SOCKET",
      "TCPIP0::host::::SOCKET",
      "TCPIPx::host::5025::SOCKET",
      "TCPIP0::host::a::b::INSTR",
      "TCPIP0::h::hislipX::INSTR",
      "TCPIP0::h::hislip0,0::INSTR",
      "USB0::0x10000::1::SN::INSTR",
      "USB0::1::2",
      "USB0::::2::SN::INSTR",   // only the serial number may be empty
      "USB0::1::2::SN::::INSTR",
      "GPIB0::31::INSTR",
      "GPIB0::1::2::3::INSTR",
      "ASRL1::SOCKET",
      "FOO0::1::INSTR",
      "TCPIP0::host\n::5025::SOCKET",
      "ASRL/dev/tty:",          // its canonical form would read back as another path
      "ASRL/dev/tty USB0",
      "TCPIP::[::0]::NST:",     // ":::" could be split two ways
      "USB0::1::2::SN:::INSTR",
  };
  for (const char* name : bad) {
    resource_name r;
    // "TCPIP0::host::5025" is the device "5025" over VXI-11, which is valid; check the rest.
    if (std::string_view(name) == "TCPIP0::host::5025") {
      EXPECT_EQ(parse_resource_name(name, r), VI_SUCCESS);
      EXPECT_EQ(r.address.index(), address_index<vxi11_address>);
      continue;
    }
    EXPECT_EQ(parse_resource_name(name, r), VI_ERROR_INV_RSRC_NAME) << name;
  }
}


// Names of classes nothing here serves still parse into the right fields, so viParseRsrcEx
// reports them truthfully and viOpen can say the class is unsupported.
TEST(resource_name, vxi_gpib_vxi_pxi_and_board_classes_get_their_fields_and_canonical_form) {
  struct row {
    const char* name;
    ViUInt16 type;
    unsigned board;
    const char* cls;
    const char* canonical;
  };
  const row rows[] = {
      {"VXI::5", VI_INTF_VXI, 0, "INSTR", "VXI0::5::INSTR"},
      {"vxi2::255::instr", VI_INTF_VXI, 2, "INSTR", "VXI2::255::INSTR"},
      {"VXI0::3::BACKPLANE", VI_INTF_VXI, 0, "BACKPLANE", "VXI0::3::BACKPLANE"},
      {"VXI1::memacc", VI_INTF_VXI, 1, "MEMACC", "VXI1::MEMACC"},
      {"VXI::SERVANT", VI_INTF_VXI, 0, "SERVANT", "VXI0::SERVANT"},
      {"GPIB-VXI::7", VI_INTF_GPIB_VXI, 0, "INSTR", "GPIB-VXI0::7::INSTR"},
      {"GPIB-VXI3::MEMACC", VI_INTF_GPIB_VXI, 3, "MEMACC", "GPIB-VXI3::MEMACC"},
      {"PXI::3::INSTR", VI_INTF_PXI, 0, "INSTR", "PXI0::3::INSTR"},
      {"PXI1::3::7", VI_INTF_PXI, 1, "INSTR", "PXI1::3::7::INSTR"},
      {"PXI0::2-15.3::INSTR", VI_INTF_PXI, 0, "INSTR", "PXI0::2-15.3::INSTR"},
      {"pxi::chassis1::slot4::func2::instr", VI_INTF_PXI, 0, "INSTR", "PXI0::CHASSIS1::SLOT4::FUNC2::INSTR"},
      {"PXI0::1::BACKPLANE", VI_INTF_PXI, 0, "BACKPLANE", "PXI0::1::BACKPLANE"},
      {"PXI::MEMACC", VI_INTF_PXI, 0, "MEMACC", "PXI0::MEMACC"},
      {"GPIB::intfc", VI_INTF_GPIB, 0, "INTFC", "GPIB0::INTFC"},
      {"GPIB2::SERVANT", VI_INTF_GPIB, 2, "SERVANT", "GPIB2::SERVANT"},
      {"TCPIP::SERVANT", VI_INTF_TCPIP, 0, "SERVANT", "TCPIP0::SERVANT"},
  };
  for (const row& want : rows) {
    SCOPED_TRACE(want.name);
    const resource_name r = parse_ok(want.name);
    EXPECT_EQ(r.address.index(), address_index<std::monostate>);
    EXPECT_EQ(r.interface_type, want.type);
    EXPECT_EQ(r.board, want.board);
    EXPECT_EQ(r.resource_class, want.cls);
    EXPECT_EQ(r.canonical, want.canonical);
  }
}

TEST(resource_name, malformed_vxi_pxi_and_class_names_are_refused) {
  const char* bad[] = {
      "VXI", "PXI", "GPIB-VXI", "VXI0",
      "VXI::5::BOGUS", "VXI0::256::INSTR", "VXI0::5::1::INSTR", "VXI0::x::INSTR",
      "VXI0::5::INSTR::INSTR", "GPIB-VXI0::SERVANT", "GPIB-VXI0::7::MEMACC",
      "PXI0::32::INSTR", "PXI0::3::8", "PXI0::2-15.8", "PXI0::2-32", "PXI0::-3", "PXI0::CHASSIS1",
      "PXI0::CHASSIS1::4", "PXI0::CHASSIS1::SLOT4::FUNC8", "PXI0::3::4::5::INSTR", "PXI0::x::BACKPLANE",
      "GPIB0::1::2::MEMACC", "GPIB0::12::INTFC", "GPIB0::BACKPLANE",
      "TCPIP0::host::MEMACC", "TCPIP0::host::INTFC", "TCPIP0::host::inst0::SERVANT", "TCPIP0::host::RAW",
  };
  for (const char* name : bad) {
    resource_name r;
    EXPECT_EQ(parse_resource_name(name, r), VI_ERROR_INV_RSRC_NAME) << name;
    EXPECT_TRUE(r.canonical.empty()) << name;
  }
}

// Names are handed out in 256-byte buffers: one whose canonical form needs more is refused
// rather than reported cut short, however short the name as written.
TEST(resource_name, a_canonical_form_longer_than_255_characters_is_refused) {
  for (std::size_t canonical_length : {254u, 255u, 256u, 300u}) {
    SCOPED_TRACE(canonical_length);
    // "TCPIP::<host>" becomes "TCPIP0::<host>::inst0::INSTR": 22 characters around the host.
    const std::string host(canonical_length - 22, 'h');
    resource_name r;
    const ViStatus status = parse_resource_name("TCPIP::" + host, r);
    if (canonical_length <= 255) {
      EXPECT_EQ(status, VI_SUCCESS);
      EXPECT_EQ(r.canonical.size(), canonical_length);
    } else {
      EXPECT_EQ(status, VI_ERROR_INV_RSRC_NAME);
    }
  }
}

}  // namespace
}  // namespace kobrant::visa
