// The virtual USB bus as libusb sees it: enumeration, descriptors, claims, transfers, unplugging.
#include <gtest/gtest.h>
#include <libusb.h>

#include "VirtualUsbBus.h"

namespace {

TEST(VirtualUsbBus, Enumerates) {
    ASSERT_TRUE(vusb::VirtualUsbBus::inMockEnvironment());
    vusb::VirtualUsbBus bus;
    vusb::UsbIdentity id;
    id.vendorId = 0x1234;
    id.productId = 0x0042;
    id.serial = "0000ABCD";
    bus.plug(id);
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    ASSERT_EQ(n, 1);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(d.idVendor, 0x1234);
    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    unsigned char text[64] = {0};
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "0000ABCD");
    libusb_close(h);
    libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

}  // namespace
