// UpdaterEntity against hvmodsim, reached over TCP on loopback by address: the firmware stage's
// pieces and progress, the bounds on broken answers, and the REBOOT wait.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "BirdWriter.h"
#include "SimProcess.h"
#include "api/Module.h"
#include "api/System.h"
#include "cli/UpdaterDisplayInterface.h"
#include "engine/aTime.h"
#include "update/UpdaterEntity.h"

using Kestrova::Halvorine::Module;
using Kestrova::Halvorine::SystemClass;
using modsimtest::SimProcess;

namespace {

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    void display_progress(bool show) override { events.push_back(show ? "show" : "hide"); }
    void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
    void update_spinner(bool active, const char* label) override {
        events.push_back(std::string(active ? "spin " : "stop ") + (label ? label : ""));
    }
    void info_message(const char* text) override { infos.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }
    std::vector<std::string> events, infos, errors;
    std::vector<double> progress;
};

aErr sConnect(Module& module, SimProcess& sim, const std::string& serial) {
    aNexusConfig config;
    config.enabled = false;
    config.fallback = false;
    module.setConfig(config);
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serial_num = uint32_t(std::stoul(serial, nullptr, 16));
    spec.ip_address = htonl(INADDR_LOOPBACK);
    spec.ip_port = sim.tcpPort(serial);
    return module.connectFromSpec(spec);
}

// A firmware block: the 4-byte big-endian address, then the image.
Bytes sBlock(uint32_t address, size_t imageSize) {
    Bytes block{uint8_t(address >> 24), uint8_t(address >> 16), uint8_t(address >> 8),
                uint8_t(address)};
    for (size_t i = 0; i < imageSize; ++i) block.push_back(uint8_t(i * 13 + 1));
    return block;
}

class UpdaterEntityTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (sim.pid() > 0) {
            EXPECT_EQ(sim.stop(), 0) << sim.errors();
        }
    }
    SimProcess sim;
    RecordingDisplay display;
};

// 4 + 1000 bytes in pieces of 512: 512 then 488, each written; the bar at about 51 % then 100 %,
// and the flash holds the image.
TEST_F(UpdaterEntityTest, FirmwareGoesInPiecesOfTheBlockSize) {
    const std::string flash =
        std::string(testing::TempDir()) + "entity_flash_" + std::to_string(getpid()) + ".bin";
    for (bool byteStrings : {false, true}) {
        SCOPED_TRACE(byteStrings ? "UEI byte strings" : "DATA packets");
        ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,mode=loader,block=512,flash=" + flash}))
            << sim.errors();
        Module module(2, uint8_t(0));
        ASSERT_EQ(sConnect(module, sim, "40F5849A"), aErrNone);
        UpdaterEntity entity;
        entity.init(&module, 0, true, false);
        if (byteStrings) {
            ASSERT_EQ(entity.CheckUEIDataSupport(), aErrNone);
        }
        const Bytes block = sBlock(0x10000, 1000);
        uint16_t blockSize = 0;
        ASSERT_EQ(entity.TransferPrepare(block.data(), uint32_t(block.size()), 0, blockSize),
                  aErrNone);
        EXPECT_EQ(blockSize, 512);
        display.progress.clear();
        EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), blockSize, display),
                  aErrNone);
        ASSERT_EQ(display.progress.size(), 2u);
        EXPECT_NEAR(display.progress[0], 516.0 / 1004.0, 1e-9);
        EXPECT_DOUBLE_EQ(display.progress[1], 1.0);
        std::string written;
        {
            std::ifstream in(flash, std::ios::binary);
            written.assign(std::istreambuf_iterator<char>(in), {});
        }
        EXPECT_EQ(written, std::string(block.begin() + 4, block.end()));
        module.disconnect();
        sim.stop();
        std::remove(flash.c_str());
    }
}

TEST_F(UpdaterEntityTest, BlockSizeZeroDoesNotLoop) {
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,mode=loader"})) << sim.errors();
    Module module(2, uint8_t(0));
    ASSERT_EQ(sConnect(module, sim, "40F5849A"), aErrNone);
    UpdaterEntity entity;
    entity.init(&module, 0, true, false);
    const Bytes block = sBlock(0x10000, 100);
    EXPECT_EQ(entity.FirmwareTransfer(block.data(), uint32_t(block.size()), 0, display), aErrParam);
}

// A module behind a router: REBOOT does not take the router's link down, so the wait ends after
// one pass with noRebootWait, and at the bound (with a plain word to the user) without it.
TEST_F(UpdaterEntityTest, RebootWaitIsBoundedWhenTheLinkStaysUp) {
    ASSERT_TRUE(sim.start({"--module", "serial=40F50001,address=2", "--module",
                           "serial=40F5849A,address=36,behind=40F50001,reboot_delay=200"}))
        << sim.errors();
    Module router(2, uint8_t(0));
    ASSERT_EQ(sConnect(router, sim, "40F50001"), aErrNone);
    SystemClass system;
    system.init(&router, 0);
    ASSERT_EQ(system.routeToMe(1), aErrNone);
    Module target(36, false, uint8_t(0));
    ASSERT_EQ(target.connectThroughLinkModule(&router), aErrNone);

    for (bool noWait : {true, false}) {
        SCOPED_TRACE(noWait ? "noRebootWait" : "bounded wait");
        display.events.clear();
        display.infos.clear();
        UpdaterEntity entity;
        entity.init(&target, 0, true, noWait);
        entity.SetRebootWaitLimit(1000);
        const uint64_t t0 = aTime_GetMSTicks();
        EXPECT_EQ(entity.LoaderReboot(display), aErrNone);
        const uint64_t took = aTime_GetMSTicks() - t0;
        ASSERT_FALSE(display.events.empty());
        EXPECT_EQ(display.events.back(), "stop Verifying Update");
        if (noWait) {
            EXPECT_LT(took, 900u);
            EXPECT_TRUE(display.infos.empty());
        } else {
            EXPECT_GE(took, 1000u);
            EXPECT_LT(took, 3000u);
            ASSERT_EQ(display.infos.size(), 1u);
            EXPECT_NE(display.infos[0].find("not seen restarting"), std::string::npos);
        }
        EXPECT_TRUE(target.isConnected());
        aTime_MSSleep(300);  // the module is back from its reboot
    }
}

}  // namespace
