// The emulation itself, under a tiny libusb client of the test's own: enumeration from the fake
// sysfs, opening the node, claiming the interface with the kernel driver detached and put back,
// a control request, and a query as bulk transfers. If this fails, the emulation is broken,
// not the library.
#include <gtest/gtest.h>
#include <libusb.h>

#include <cstring>

#include "usbfs_emulation.h"

namespace kobrant::test {
namespace {

std::vector<unsigned char> bulk_message(std::uint8_t msg_id, std::uint8_t tag, std::string_view data,
                                        std::uint32_t size) {
  std::vector<unsigned char> m(12, 0);
  m.reserve(12 + data.size() + 3);
  m[0] = msg_id;
  m[1] = tag;
  m[2] = static_cast<unsigned char>(~tag);
  for (int i = 0; i < 4; ++i) m[4 + i] = static_cast<unsigned char>(size >> (8 * i));
  m[8] = msg_id == 1 ? 1 : 0;
  for (const char c : data) m.push_back(static_cast<unsigned char>(c));
  while (m.size() % 4 != 0) m.push_back(0);
  return m;
}

TEST(usb_emulation, serves_a_libusb_client_a_query) {
  SKIP_WITHOUT_USB_EMULATION();
  usbtmc_device device;
  usb_testbed bed;
  bed.plug(device);

  libusb_context* context = nullptr;
  ASSERT_EQ(libusb_init(&context), 0);
  libusb_device_handle* handle = libusb_open_device_with_vid_pid(context, 0x1234, 0x5678);
  ASSERT_NE(handle, nullptr);
  libusb_device_descriptor descriptor{};
  ASSERT_EQ(libusb_get_device_descriptor(libusb_get_device(handle), &descriptor), 0);
  EXPECT_EQ(descriptor.iSerialNumber, 3);
  unsigned char serial[64] = {};
  EXPECT_EQ(libusb_get_string_descriptor_ascii(handle, 3, serial, sizeof serial), 3);
  EXPECT_STREQ(reinterpret_cast<char*>(serial), "SN1");

  EXPECT_EQ(libusb_kernel_driver_active(handle, 0), 1);
  libusb_set_auto_detach_kernel_driver(handle, 1);
  ASSERT_EQ(libusb_claim_interface(handle, 0), 0);
  EXPECT_FALSE(device.kernel_driver_bound());

  unsigned char caps[0x18] = {};
  EXPECT_EQ(libusb_control_transfer(handle, 0xA1, 7, 0, 0, caps, sizeof caps, 1000), 0x18);
  EXPECT_EQ(caps[0], 1);

  int moved = 0;
  auto out = bulk_message(1, 1, "*IDN?\n", 6);
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x01, out.data(), static_cast<int>(out.size()), &moved, 1000), 0);
  EXPECT_EQ(moved, static_cast<int>(out.size()));
  auto request = bulk_message(2, 2, "", 1000);
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x01, request.data(), 12, &moved, 1000), 0);
  unsigned char in[1024];
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x82, in, sizeof in, &moved, 1000), 0);
  ASSERT_EQ(moved, 32);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(in) + 12, 20), "KOBRANT,SIM-1,0,1.0\n");

  // A read nobody answers times out, and the URB is discarded and reaped.
  request = bulk_message(2, 3, "", 1000);
  ASSERT_EQ(libusb_bulk_transfer(handle, 0x01, request.data(), 12, &moved, 1000), 0);
  EXPECT_EQ(libusb_bulk_transfer(handle, 0x82, in, sizeof in, &moved, 100), LIBUSB_ERROR_TIMEOUT);

  libusb_release_interface(handle, 0);
  libusb_close(handle);
  libusb_exit(context);
  EXPECT_TRUE(device.kernel_driver_bound());
  // The timed-out request is left unanswered on purpose; nothing else may be amiss.
  EXPECT_EQ(device.violations(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kobrant::test
