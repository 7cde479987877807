// "-U" end to end over TCP/IP: the real Updater against hvmodsim. The update connects by serial
// number, which for TCP/IP means the discovery probe (multicast), so this executable runs only
// inside the private network namespace of tests/netns/run-in-netns (one namespace per test; the
// simulator answers the probe on 192.0.2.1 there).
#include <sys/stat.h>

#include <thread>

#include "../../netns/PrivateNetwork.h"
#include "UpdateFixture.h"

using namespace updatetest;
using modsimtest::SimProcess;

namespace {

class UpdateTcp : public ::testing::Test {
  protected:
    void SetUp() override { HV_REQUIRE_PRIVATE_NETWORK(); }
    void start(const std::string& extra = "") {
        ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module",
                               std::string("serial=") + kSerialText +
                                   ",model=19,link=tcp,version=2.15.0,build=1000,"
                                   "reboot_delay=200,flash=" +
                                   updater.path("flash.bin") + extra}))
            << sim.errors();
    }
    void TearDown() override {
        if (sim.pid() > 0) {
            EXPECT_EQ(sim.stop(), 0) << sim.errors();
        }
    }
    ProgramResult update(const std::vector<std::string>& more = {}) {
        std::vector<std::string> args{"-U", "-d", kSerialText, "-f", "generic.bird"};
        args.insert(args.end(), more.begin(), more.end());
        return updater.run(args);
    }
    bool flashHolds(const Bytes& expected) {
        const std::string flash = sRead(updater.path("flash.bin"));
        return flash.size() == expected.size() &&
               std::equal(expected.begin(), expected.end(),
                          reinterpret_cast<const uint8_t*>(flash.data()));
    }
    std::string settings() { return sRead(updater.settings()); }

    UpdaterRun updater;
    SimProcess sim;
};

TEST_F(UpdateTcp, GenericImageGoesOverAndTheModuleRebootsIntoIt) {
    start();
    BirdSpec spec;
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), spec));
    ProgramResult r = update();
    ASSERT_EQ(r.status, 0) << r.out << r.err << sim.errors();
    EXPECT_NE(r.out.find("Updating from Birdfile: generic.bird"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferring loader block 1 of 1, 704 bytes"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Transferred 1 blocks, 3004 total bytes"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Update time: "), std::string::npos) << r.out;
    EXPECT_TRUE(flashHolds(sStamped(sImage(spec.firmwareSize), kSerial)));
    EXPECT_NE(settings().find("LATEST_TRANSFER=generic.bird\n"), std::string::npos) << settings();
    EXPECT_NE(settings().find("LAST_TRANSFER_DATE="), std::string::npos) << settings();

    ProgramResult list = updater.run({"-D", "-t", "TCP"});
    EXPECT_NE(list.out.find("  2.15.3 (      4242)"), std::string::npos) << list.out << list.err;
}

// Which way block data travels: one UEI byte string per piece when the module has the option
// and "-m" is on (the default), DATA packets otherwise, without a word to the user.
TEST_F(UpdateTcp, BlockDataTravelsAsByteStringsOnlyWhenBothSidesWantIt) {
    struct Case {
        const char* name;
        std::string sim;
        std::vector<std::string> args;
        bool byteStrings;
    };
    const Case cases[] = {
        {"default, module has the option", "", {}, true},
        {"default, module lacks the option", ",fault-nouei=1", {}, false},
        {"-m 0", "", {"-m", "0"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(updater.path("flash.bin"));
        start(c.sim);
        ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-X", "0x400"});
        ProgramResult r = update(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        // In the firmware stage (the loader always goes in DATA packets): a whole 512-byte
        // piece taken at once, or 26 bytes at a time.
        const size_t stage = r.err.find("NETWORK: Firmware Transfer (addr=");
        ASSERT_NE(stage, std::string::npos) << r.err;
        const std::string firmware = r.err.substr(stage);
        const bool whole = firmware.find("NETWORK: accepted 512 bytes \n") != std::string::npos;
        const bool packets = firmware.find("accepted 26 more bytes") != std::string::npos;
        EXPECT_EQ(whole, c.byteStrings) << firmware.substr(0, 4000);
        EXPECT_EQ(packets, !c.byteStrings);
        EXPECT_EQ(r.out.find("UEI"), std::string::npos) << r.out;
        EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
        sim.stop();
    }
}

TEST_F(UpdateTcp, ImageForAnotherModuleIsRefusedUnlessOverridden) {
    start();
    BirdSpec spec;
    spec.generic = false;
    spec.fileSerial = 0x40F50001;
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), spec));
    ProgramResult r = update();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Birdfile failed validation"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Transferring loader"), std::string::npos) << r.out;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos);

    r = update({"-OVERRIDE"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    // A device-specific image goes over as it is.
    EXPECT_TRUE(flashHolds(sImage(spec.firmwareSize)));
}

TEST_F(UpdateTcp, ImageForAnotherModelIsRefused) {
    start();
    BirdSpec spec;
    spec.model = "HV-Other";
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), spec));
    ProgramResult r = update();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Connected device model and Bird file model do not match [" +
                         sModelName() + "] (0)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("Birdfile failed validation"), std::string::npos) << r.err;
}

// The module's sum for the first firmware piece is off by one: the user sees the mismatch
// without asking for debug output, the piece is not written, and the block is sent again.
TEST_F(UpdateTcp, SumMismatchIsShownAndTheBlockRetried) {
    start(",fault-sum=2");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("NETWORK: Unable to validate transfer [00]"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("  Retry 1"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("  Retry 2"), std::string::npos) << r.out;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
}

// Every sum is wrong: five tries, then the update fails and records nothing.
TEST_F(UpdateTcp, BlockThatNeverValidatesFailsAfterFiveTries) {
    start(",fault-sum=2+");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("  Retry 4"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("  Retry 5"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Firmware update of module [40F5849A] failed"), std::string::npos)
        << r.err;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos);
}

// A DATA piece acknowledged short every time is resent a few times, then the block fails and is
// retried from PREPARE like any failed piece; the update ends instead of looping.
TEST_F(UpdateTcp, PieceAcknowledgedShortForEverIsBounded) {
    start(",fault-shortack=40+");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update({"-m", "0"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("  Retry 4"), std::string::npos) << r.out;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos);
}

// A link that drops once in the middle of the firmware stage comes back, and the block is sent
// again from PREPARE: the update still succeeds.
TEST_F(UpdateTcp, LinkDroppedOnceMidFirmwareIsRetried) {
    start(",fault-drop=80");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update({"-m", "0"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("  Retry 1"), std::string::npos) << r.out;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
}

// The module goes away for good in the middle of the firmware stage (its first piece is in
// flash): a clear failure, the attributes as they were, and a run against the module once it
// is back installs the image.
TEST_F(UpdateTcp, ModuleGoneMidFirmwareFailsAndASecondRunSucceeds) {
    start(",fault-slowflash=300");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r;
    std::thread run([&] { r = update(); });
    const uint64_t t0 = modsimtest::nowMs();
    while (!fs::exists(updater.path("flash.bin")) && modsimtest::nowMs() - t0 < 20000) usleep(5000);
    sim.stop();
    run.join();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferring firmware block 1 of 1"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Firmware update of module [40F5849A] failed"), std::string::npos)
        << r.err;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos) << settings();

    fs::remove(updater.path("flash.bin"));
    start();
    r = update();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
    EXPECT_NE(settings().find("LATEST_TRANSFER=generic.bird\n"), std::string::npos);
}

TEST_F(UpdateTcp, RefusedConnectionFailsWithItsMessage) {
    start(",fault-busy=1");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update();
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed to connect to module [40F5849A]"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Transferring loader"), std::string::npos) << r.out;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos);
}

// LOAD answered only after the host reconnects: the reconnect branch of the loader start.
TEST_F(UpdateTcp, LoaderStartAnsweredAfterAReconnect) {
    start(",fault-load=reconnect");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update({"-X", "0x400"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("NETWORK: Loader validated start (Reconnect)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
}

// LOAD never answered, not even after the reconnect, while the loader does start (as the i.MX
// loader behaves): the timeout counts as a started loader and the firmware goes over.
TEST_F(UpdateTcp, LoaderStartNeverAnsweredCountsAsStarted) {
    start(",fault-load=never");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update({"-X", "0x1"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(
        r.err.find("Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err."),
        std::string::npos)
        << r.err;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
}

// Behind a router: the network scan finds the module at I2C address 0x24, the update goes over
// the router's link, and the REBOOT wait does not block on that link, which stays up.
TEST_F(UpdateTcp, ThroughARouterTheScanFindsTheModule) {
    ASSERT_TRUE(sim.start({"--probe", "192.0.2.1", "--module",
                           "serial=40F50001,model=19,link=tcp,address=2", "--module",
                           std::string("serial=") + kSerialText +
                               ",model=19,address=36,behind=40F50001,reboot_delay=200,flash=" +
                               updater.path("flash.bin")}))
        << sim.errors();
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    const uint64_t t0 = modsimtest::nowMs();
    ProgramResult r = update({"-r", "40F50001"});
    EXPECT_EQ(r.status, 0) << r.out << r.err << sim.errors();
    EXPECT_LT(modsimtest::nowMs() - t0, 15000u);
    EXPECT_EQ(r.out.find("was not seen restarting"), std::string::npos) << r.out;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
    EXPECT_NE(settings().find("LATEST_TRANSFER=generic.bird\n"), std::string::npos);
}

// A module that answers PREPARE with a block size of 0: a failed PREPARE, not an endless loop.
TEST_F(UpdateTcp, BlockSizeZeroIsAFailedPrepare) {
    start(",block=0");
    ASSERT_TRUE(sWriteBird(updater.path("generic.bird"), BirdSpec{}));
    ProgramResult r = update({"-X", "0x400"});
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Error firmware transfer init: [" + std::to_string(aErrInvalidOption)),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("  Retry 1"), std::string::npos) << r.out;
    EXPECT_EQ(settings().find("LATEST_TRANSFER="), std::string::npos);
}

// Without "-f" and without an answer from the update server: the latest download recorded for
// the module is installed and then recorded as the latest transfer; with no record at all there
// is nothing to install.
TEST_F(UpdateTcp, BuildComesFromTheStoreWhenTheServerIsSilent) {
    ProgramResult r = updater.run({"-U", "-d", kSerialText});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Could not find valid build for this device."), std::string::npos)
        << r.err;

    start();
    const fs::path device = updater.store() / kSerialText;
    fs::create_directories(device);
    ASSERT_TRUE(sWriteBird((device / "4242.bird").string(), BirdSpec{}));
    {
        std::ofstream settings(device / ".settings");
        settings << "LATEST_DOWNLOAD=4242.bird\n";
    }
    r = updater.run({"-U", "-d", kSerialText});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Updating with the Latest Download"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Updating firmware with build: 4242"), std::string::npos) << r.out;
    EXPECT_TRUE(flashHolds(sStamped(sImage(BirdSpec{}.firmwareSize), kSerial)));
    EXPECT_NE(settings().find("LATEST_TRANSFER=4242.bird\n"), std::string::npos) << settings();
}

}  // namespace
