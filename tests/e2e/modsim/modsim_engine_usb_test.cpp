// The library's USB discovery and USB link against a module on hvmodsim's virtual bus. Runs
// under the bus's preload library (sim/vusb/vusb-run) and points it at the simulator's bus.
#include <gtest/gtest.h>

#include "SimProcess.h"
#include "discovery/discover.h"
#include "engine/aLink.h"
#include "engine/aPacket.h"

using namespace modsimtest;

namespace {
bool collect(const linkSpec* spec, bool* found, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *found = true;
    return true;
}
bool isSerialReply(const aPacket* p, void*) {
    return p->address == 4 && p->dataSize == 7 && p->data[0] == 0x03 && p->data[1] == 0x09;
}
}  // namespace

TEST(ModsimEngineUsb, DiscoveryFindsTheModuleAndALinkTalksToIt) {
    if (!std::getenv("LD_PRELOAD") || !std::strstr(std::getenv("LD_PRELOAD"), "umockdev"))
        GTEST_SKIP() << "run under sim/vusb/vusb-run";
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=4,model=19,link=usb"}))
        << sim.errors();
    ASSERT_EQ(setenv("UMOCKDEV_DIR", sim.value("UMOCKDEV_DIR").c_str(), 1), 0);

    std::vector<linkSpec> found;
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, collect, &found, aDISCOVERY_LOOPBACK), 1);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].serial_num, 0x40F5849Au);
    EXPECT_EQ(found[0].usb_id, 0x40F5849Au);
    EXPECT_EQ(found[0].model, 19u);

    uint32_t link = aLink_CreateUSB(0x40F5849A);
    ASSERT_NE(link, 0u);
    EXPECT_EQ(aLink_Sync(link), aErrNone);
    const uint8_t get[] = {0x03, 0x49, 0x20};
    aPacket* req = aPacket_CreateWithData(4, 3, get);
    EXPECT_EQ(aLink_PutPacket(link, req), aErrNone);
    aPacket_Destroy(&req);
    aPacket* r = aLink_AwaitFirst(link, isSerialReply, nullptr, 2000);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(Bytes(r->data, r->data + r->dataSize),
              (Bytes{0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    aPacket_Destroy(&r);
    aLink_Destroy(&link);
}
