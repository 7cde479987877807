// Module::connect(USB, serial number) against the module simulator on its virtual USB bus: USB
// discovery finds the module, the link opens its bulk endpoints and syncs, and the system entity
// answers with the simulator's values. Runs under the bus's preload library (sim/vusb/vusb-run);
// the bus itself lives in the simulator, whose UMOCKDEV_DIR this process takes over.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "../modsim/SimProcess.h"
#include "api/Module.h"
#include "api/System.h"
#include "api/aVersion.h"

using namespace Kestrova::Halvorine;
using modsimtest::SimProcess;

// usb_transport_side.cpp
uint16_t usbTransportVendorId();
void usbTransportExit();

namespace {

constexpr uint32_t kSerial = 0x40F5849A;

bool sUnderPreload() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr &&
           std::string(preload).find("libumockdev-preload") != std::string::npos;
}

class ModuleOnUsb : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!sUnderPreload()) GTEST_SKIP() << "runs only under sim/vusb/vusb-run";
        // The simulator takes the vendor id the USB transport looks for.
        char vendor[8];
        std::snprintf(vendor, sizeof vendor, "0x%04X", usbTransportVendorId());
        ASSERT_TRUE(sim.start({"--vendor", vendor, "--module",
                               "serial=40F5849A,address=4,model=19,version=2.12.7,build=9001,"
                               "name=USB hub,link=usb"}))
            << sim.errors();
        const std::string dir = sim.value("UMOCKDEV_DIR");
        ASSERT_FALSE(dir.empty()) << sim.readyLine();
        // Before the first libusb call of this process, which happens in the connect below.
        ASSERT_EQ(0, setenv("UMOCKDEV_DIR", dir.c_str(), 1));
    }
    void TearDown() override {
        usbTransportExit();
        sim.stop();
    }
    SimProcess sim;
};

TEST_F(ModuleOnUsb, ConnectBySerialNumberAndReadTheSystemEntity) {
    Module m(2, uint8_t(0));
    aNexusConfig c;
    ASSERT_EQ(aErrNone, m.getConfig(&c));
    c.enabled = false;
    c.fallback = false;
    ASSERT_EQ(aErrNone, m.setConfig(c));
    ASSERT_EQ(aErrNone, m.connect(USB, kSerial)) << sim.errors();
    EXPECT_TRUE(m.isConnected());
    EXPECT_EQ(4, m.getModuleAddress());
    linkSpec s;
    ASSERT_EQ(aErrNone, m.getLinkSpecifier(&s));
    EXPECT_EQ(USB, s.type);
    EXPECT_EQ(kSerial, s.serial_num);

    SystemClass sys;
    sys.init(&m, 0);
    uint32_t u32 = 0;
    ASSERT_EQ(aErrNone, sys.getSerialNumber(&u32));
    EXPECT_EQ(kSerial, u32);
    ASSERT_EQ(aErrNone, sys.getVersion(&u32));
    EXPECT_EQ(aVersion_Pack(2, 12, 7), u32);
    uint8_t u8 = 0;
    ASSERT_EQ(aErrNone, sys.getModel(&u8));
    EXPECT_EQ(19, u8);
    ASSERT_EQ(aErrNone, sys.getModule(&u8));
    EXPECT_EQ(4, u8);
    ASSERT_EQ(aErrNone, sys.getRouter(&u8));
    EXPECT_EQ(4, u8);
    uint8_t name[32];
    size_t count = 0;
    ASSERT_EQ(aErrNone, sys.getName(name, sizeof name, &count));
    EXPECT_EQ("USB hub", std::string(reinterpret_cast<char*>(name), count));
    uint32_t build = 0;
    ASSERT_EQ(aErrNone, m.getBuild(&build));
    EXPECT_EQ(9001u, build);

    EXPECT_EQ(aErrNone, m.disconnect());
    EXPECT_FALSE(m.isConnected());
    EXPECT_EQ(aErrNotFound, m.connect(USB, kSerial + 1)) << "no such module on the bus";
}

}  // namespace
