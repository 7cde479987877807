// USB enumeration on the virtual USB bus. Runs under the bus's preload library (see this folder's
// CMakeLists.txt); each test makes its own bus and ends the libusb context it used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "VirtualUsbBus.h"
#include "discovery/discover.h"
#include "transport/hvusb_driver.h"

namespace {

vusb::UsbIdentity sDevice(const std::string& serial, uint16_t productId,
                          uint16_t vendorId = HALVORINE_VENDOR_ID) {
    vusb::UsbIdentity id;
    id.vendorId = vendorId;
    id.productId = productId;
    id.serial = serial;
    id.product = "Hub";
    return id;
}

struct Seen {
    std::vector<linkSpec> specs;
    size_t stopAfter = 0;  // 0: never stop
    bool markFound = true;
};

bool sCollect(const linkSpec* spec, bool* found, void* ref) {
    Seen* seen = static_cast<Seen*>(ref);
    EXPECT_FALSE(*found) << "found must be false on entry";
    seen->specs.push_back(*spec);
    *found = seen->markFound;
    return seen->stopAfter == 0 || seen->specs.size() < seen->stopAfter;
}

class UsbDiscovery : public ::testing::Test {
  protected:
    std::unique_ptr<vusb::VirtualUsbBus> bus;

    void SetUp() override {
        ASSERT_TRUE(vusb::VirtualUsbBus::inMockEnvironment()) << "run under sim/vusb/vusb-run";
        bus = std::make_unique<vusb::VirtualUsbBus>();
    }
    void TearDown() override {
        // The next test's bus needs a fresh libusb context.
        Halvorine_libusb_exit();
        bus.reset();
    }
    // A bus with two modules among devices that must not be reported.
    void plugMixedBus() {
        bus->plug(sDevice("40F5849A", 0x0013));
        bus->plug(sDevice("11112222", 0x8001));          // product id with bit 15: not a module
        bus->plug(sDevice("1234567", 0x0013));           // 7-character serial string
        bus->plug(sDevice("123456789", 0x0013));         // 9 characters
        bus->plug(sDevice("33334444", 0x0013, 0x1D6B));  // another maker
        bus->plug(sDevice("0000BEEF", 0x7F11));
    }
};

TEST_F(UsbDiscovery, NoModulesNoCallback) {
    bus->plug(sDevice("33334444", 0x0013, 0x1D6B));
    Seen seen;
    EXPECT_EQ(0, aDiscovery_EnumerateModules(USB, sCollect, &seen, aDISCOVERY_LOOPBACK));
    EXPECT_TRUE(seen.specs.empty());
}

TEST_F(UsbDiscovery, ModulesAreReportedWithSerialModelAndAddresses) {
    plugMixedBus();
    Seen seen;
    EXPECT_EQ(2, aDiscovery_EnumerateModules(USB, sCollect, &seen, aDISCOVERY_LOOPBACK));
    ASSERT_EQ(2u, seen.specs.size());
    std::sort(seen.specs.begin(), seen.specs.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serial_num < b.serial_num; });
    struct Expected {
        uint32_t serial;
        uint32_t model;
    } expected[] = {{0x0000BEEF, 0x11}, {0x40F5849A, 0x13}};
    for (size_t i = 0; i < 2; ++i) {
        const linkSpec& s = seen.specs[i];
        EXPECT_EQ(USB, s.type);
        EXPECT_EQ(expected[i].serial, s.serial_num);
        EXPECT_EQ(expected[i].serial, s.usb_id);
        EXPECT_EQ(expected[i].model, s.model);
        EXPECT_EQ(0u, s.module);
        EXPECT_EQ(0u, s.router);
        EXPECT_EQ(0u, s.router_serial_num);
        for (size_t b = 0; b < aLINKSPEC_PORTNAME_SIZE; ++b) EXPECT_EQ(0, s.port_name[b]);
    }
}

// The callback contract: one call when the first asks to stop, counted only when marked found.
TEST_F(UsbDiscovery, StopAtTheFirstDevice) {
    plugMixedBus();
    for (bool mark : {true, false}) {
        Seen seen;
        seen.stopAfter = 1;
        seen.markFound = mark;
        EXPECT_EQ(mark ? 1 : 0, aDiscovery_EnumerateModules(USB, sCollect, &seen, 0));
        EXPECT_EQ(1u, seen.specs.size());
    }
}

TEST_F(UsbDiscovery, FindersAndTheDeviceStaysFree) {
    plugMixedBus();
    vusb::VirtualUsbDevice& module = bus->plug(sDevice("0A0B0C0D", 0x0021));
    linkSpec* spec = aDiscovery_FindModule(USB, 0x0A0B0C0D, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_EQ(0x0A0B0C0Du, spec->serial_num);
    EXPECT_EQ(0x21u, spec->model);
    EXPECT_EQ(aErrNone, aLinkSpec_Destroy(&spec));
    EXPECT_EQ(nullptr, aDiscovery_FindModule(USB, 0x11112222, aDISCOVERY_LOOPBACK));
    EXPECT_EQ(nullptr, aDiscovery_FindModule(USB, 0x01234567, aDISCOVERY_LOOPBACK));
    spec = aDiscovery_FindFirstModule(USB, aDISCOVERY_LOOPBACK);
    ASSERT_NE(nullptr, spec);
    EXPECT_NE(0u, spec->serial_num);
    aLinkSpec_Destroy(&spec);
    EXPECT_FALSE(module.claimed()) << "enumeration leaves the module free";

    // An exit of the shared context between enumerations is allowed; the next one makes a new one.
    Halvorine_libusb_exit();
    spec = aDiscovery_FindModule(USB, 0x40F5849A, 0);
    ASSERT_NE(nullptr, spec);
    aLinkSpec_Destroy(&spec);
}

TEST_F(UsbDiscovery, UnpluggedModuleIsNoLongerReported) {
    vusb::VirtualUsbDevice& module = bus->plug(sDevice("40F5849A", 0x0013));
    Seen before;
    EXPECT_EQ(1, aDiscovery_EnumerateModules(USB, sCollect, &before, 0));
    module.unplug();
    Seen after;
    EXPECT_EQ(0, aDiscovery_EnumerateModules(USB, sCollect, &after, 0));
    module.plugIn(0x0014);
    Seen again;
    EXPECT_EQ(1, aDiscovery_EnumerateModules(USB, sCollect, &again, 0));
    ASSERT_EQ(1u, again.specs.size());
    EXPECT_EQ(0x14u, again.specs[0].model);
}

}  // namespace
