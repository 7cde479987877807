// "-U" end to end over the virtual USB bus: the real Updater against hvmodsim's USB module. The
// module leaves the bus when its loader starts and again at the reboot, so these runs also cover
// the re-enumeration after LOAD and the wait for the reboot.
#include "UpdateFixture.h"

using namespace updatetest;
using modsimtest::SimProcess;

namespace {

class UpdateUsb : public ::testing::Test {
  protected:
    void start(const std::string& extra = "") {
        const std::string flash = updater.path("flash.bin");
        ASSERT_TRUE(sim.start({"--module", std::string("serial=") + kSerialText +
                                               ",model=19,link=usb,version=2.15.0,build=1000,"
                                               "loader_delay=200,reboot_delay=200,flash=" +
                                               flash + extra}))
            << sim.errors();
        ASSERT_FALSE(sim.value("UMOCKDEV_DIR").empty()) << sim.readyLine();
    }
    std::vector<std::string> busEnv() const {
        return {"UMOCKDEV_DIR=" + sim.value("UMOCKDEV_DIR"), "LD_PRELOAD=libumockdev-preload.so.0"};
    }
    void TearDown() override { EXPECT_EQ(sim.stop(), 0) << sim.errors(); }

    UpdaterRun updater;
    SimProcess sim;
};

TEST_F(UpdateUsb, GenericImageGoesOverAndTheModuleRebootsIntoIt) {
    start();
    BirdSpec spec;
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), spec));
    ProgramResult r = updater.run({"-U", "-d", kSerialText, "-f", "generic.bird"}, busEnv());
    EXPECT_EQ(r.status, 0) << r.out << r.err << sim.errors();
    EXPECT_NE(r.out.find("Transferring loader to device"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Starting Load on Device"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferring firmware block 1 of 1"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;

    // The flash holds the image with this module's serial number stamped in, byte for byte.
    const std::string flash = sRead(updater.path("flash.bin"));
    const Bytes expected = sStamped(sImage(spec.firmwareSize), kSerial);
    ASSERT_EQ(flash.size(), expected.size());
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(),
                           reinterpret_cast<const uint8_t*>(flash.data())));

    const std::string settings = sRead(updater.settings());
    EXPECT_NE(settings.find("LATEST_TRANSFER=generic.bird\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("LAST_TRANSFER_DATE="), std::string::npos) << settings;

    // The module came back running the new image: the listing shows its version and build.
    ProgramResult list = updater.run({"-D", "-t", "USB"}, busEnv());
    EXPECT_EQ(list.status, 0) << list.out << list.err;
    EXPECT_NE(list.out.find(std::string(kSerialText)), std::string::npos) << list.out;
    EXPECT_NE(list.out.find("  2.15.3 (      4242)"), std::string::npos) << list.out;
}

// The module never returns from LOAD (it stays off the bus): every one of the re-enumeration
// tries fails, the flow says so, nothing is recorded, and a later run succeeds.
TEST_F(UpdateUsb, ModuleThatNeverComesBackFromLoadFailsCleanly) {
    start(",loader_delay=25000");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r =
        updater.run({"-U", "-d", kSerialText, "-f", "generic.bird", "-X", "0x10000"}, busEnv());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("was not found again after its loader started"), std::string::npos)
        << r.out << r.err;
    // The context is refreshed before the 3rd, 6th, 9th, 12th and 15th tries.
    size_t refreshes = 0;
    for (size_t at = r.err.find("refreshing libusb context"); at != std::string::npos;
         at = r.err.find("refreshing libusb context", at + 1))
        ++refreshes;
    EXPECT_EQ(refreshes, 5u) << r.err;
    EXPECT_EQ(sRead(updater.settings()).find("LATEST_TRANSFER="), std::string::npos);
}

}  // namespace
