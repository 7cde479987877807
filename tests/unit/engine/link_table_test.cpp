// The link table: creation over TCP (loopback), serial ports and USB kernel-driver nodes (both on
// ptys), sharing through the use count, destruction and reset.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "engine/aLink.h"
#include "link_peer.h"
#include "transport/hvusb_testing.h"

using linktest::Bytes;
using linktest::expectPacketReaches;
using linktest::Framing;
using linktest::msSince;
using linktest::Peer;
using linktest::TcpModule;

namespace {

using linktest::kRouteOff;
using linktest::kRouteOn;

TEST(LinkTableTcp, SameSerialNumberSharesOneLinkUntilTheLastDestroy) {
    TcpModule module;
    ASSERT_TRUE(module.listening());
    uint32_t first = aLink_CreateTCPIP(0x1234, linktest::loopbackAddress(), module.port());
    ASSERT_NE(first, 0u);
    Peer* peer = module.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->waitFor(kRouteOn, 2000));
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);

    uint32_t second = aLink_CreateTCPIP(0x1234, linktest::loopbackAddress(), module.port());
    EXPECT_EQ(second, first);
    EXPECT_FALSE(module.hasPendingConnection());

    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    EXPECT_EQ(second, 0u);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    expectPacketReaches(first, *peer, 0x21);

    uint32_t held = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_TRUE(peer->waitFor(kRouteOff, 2000));
    EXPECT_EQ(aLink_GetStatus(held), kLinkStatusNoStream);
    EXPECT_EQ(aLink_Destroy(&held), aErrParam);
    EXPECT_EQ(held, 0u);
    EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
}

TEST(LinkTableTcp, NoModuleListeningGivesNoLink) {
    uint16_t port = 0;
    int probe = linktest::listenLoopback(&port);
    ASSERT_GE(probe, 0);
    ::close(probe);  // a port that nobody listens on now
    EXPECT_EQ(aLink_CreateTCPIP(0x77, linktest::loopbackAddress(), port), 0u);
}

// The module stops accepting connections and hangs on the one it has; once it accepts again, a
// reset opens a fresh connection.
TEST(LinkTableTcp, ResetReconnectsToAModuleThatCameBack) {
    TcpModule module;
    ASSERT_TRUE(module.listening());
    uint32_t id = aLink_CreateTCPIP(0x4321, linktest::loopbackAddress(), module.port());
    ASSERT_NE(id, 0u);
    Peer* old = module.accept();
    ASSERT_NE(old, nullptr);
    std::unique_ptr<Peer> hung = module.release();
    module.goAway();
    module.comeBack();
    ASSERT_TRUE(module.listening());

    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_TRUE(hung->waitFor(kRouteOff, 2000));  // the old connection was stopped properly
    Peer* peer = module.accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->waitFor(kRouteOn, 2000));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    expectPacketReaches(id, *peer, 0x31);
    peer->sendRaw({0x04, 0x01, 0x32});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x32);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// A serial port: a pty whose master plays the module, speaking COBS frames.
class SerialModule : public ::testing::Test {
  protected:
    void SetUp() override {
        master = linktest::openRawPty(&path, &slave);
        ASSERT_GE(master, 0);
        peer = std::make_unique<Peer>(master, framing());
    }
    virtual Framing framing() const { return Framing::Cobs; }
    void TearDown() override {
        peer.reset();  // closes the master
        if (slave >= 0) ::close(slave);
    }
    std::string path;
    int master = -1;
    int slave = -1;
    std::unique_ptr<Peer> peer;
};

TEST_F(SerialModule, UnsupportedBaudRateLeavesNoEntryBehind) {
    EXPECT_EQ(aLink_CreateSerial(0x5151, path.c_str(), 14400), 0u);
    // Had the failed call left its entry, this one would reuse it instead of opening the port.
    uint32_t id = aLink_CreateSerial(0x5151, path.c_str(), 115200);
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(peer->waitFor(kRouteOn, 2000));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    uint32_t again = aLink_CreateSerial(0x5151, path.c_str(), 115200);
    EXPECT_EQ(again, id);  // shared
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    expectPacketReaches(id, *peer, 0x41);
    peer->send({0x04, 0x01, 0x42});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x42);
    aPacket_Destroy(&p);
    uint32_t held = id;
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(held), kLinkStatusNoStream);
    EXPECT_EQ(aLink_CreateSerial(0x5152, "/nonexistent/tty", 9600), 0u);
}

TEST_F(SerialModule, ResetOfASerialLinkFailsAfterTwoSecondsAndLeavesItStopped) {
    uint32_t id = aLink_CreateSerial(0x6161, path.c_str(), 230400);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer->waitFor(kRouteOn, 2000));
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Reset(id), aErrParam);
    int64_t took = msSince(t);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 3500);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
    EXPECT_TRUE(peer->waitFor(kRouteOff, 2000));
    // A stopped link without a stream cannot be started again, only destroyed.
    EXPECT_EQ(aLink_Start(id), aErrParam);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// Each answer to a magic packet comes in a COBS frame of its own, and the stream takes a frame's
// encoded bytes one at a time with "nothing yet" in between: that must not restart the handshake,
// or the link would never get back in step and would flood the line with magic packets.
TEST_F(SerialModule, AnOutOfStepSerialLinkResyncsOnFramedAnswers) {
    uint32_t id = aLink_CreateSerial(0x7171, path.c_str(), 115200);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(peer->waitFor(kRouteOn, 2000));
    peer->send({0x05, 0x00});  // an odd address: out of step
    ASSERT_TRUE(peer->waitFor(Bytes{0xAD, 0x00}, 2000));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    peer->answerMagic(0x04);
    peer->send({0x04, 0x00});
    linktest::waitForStatus(id, kLinkStatusRunning, 2000);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    peer->stopAnsweringMagic();
    // A few bursts of magic packets at most (more on a slow, instrumented run), never the flood of
    // thousands that an endless restart of the handshake sends.
    EXPECT_LT(peer->settle(100, 1000).size(), 200u);
    aLink_DrainPackets(
        id, [](const aPacket*, void*) { return true; }, nullptr);
    peer->send({0x04, 0x01, 0x43});
    aPacket* p = aLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x43);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

// A USB module reached through a kernel-driver node: a link named "halvorine.%08X" in a
// directory of the test's own, pointing at a pty.
class UsbNodeModule : public SerialModule {
  protected:
    void SetUp() override {
        SerialModule::SetUp();
        char dirTemplate[] = "/tmp/hvlinkXXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        dir = dirTemplate;
        char node[64];
        std::snprintf(node, sizeof node, "/halvorine.%08X", kSerial);
        nodePath = dir + node;
        ASSERT_EQ(symlink(path.c_str(), nodePath.c_str()), 0);
        hvusb_set_node_directory(dir.c_str());
    }
    Framing framing() const override { return Framing::Packets; }
    void TearDown() override {
        hvusb_set_node_directory(nullptr);
        unlink(nodePath.c_str());
        rmdir(dir.c_str());
        SerialModule::TearDown();
    }
    static constexpr uint32_t kSerial = 0x00C0FFEE;
    std::string dir, nodePath;
};

TEST_F(UsbNodeModule, SyncsOnCreationAndIsSharedBySerialNumber) {
    peer->answerMagic(0x04);
    uint32_t first = aLink_CreateUSB(kSerial);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(aLink_GetStatus(first), kLinkStatusRunning);
    // The sync's left-over answers were discarded.
    EXPECT_EQ(aLink_GetPacket(first), nullptr);
    peer->stopAnsweringMagic();

    uint32_t second = aLink_CreateUSB(kSerial);
    EXPECT_EQ(second, first);
    EXPECT_EQ(aLink_Destroy(&second), aErrNone);
    expectPacketReaches(first, *peer, 0x51);
    uint32_t held = first;
    EXPECT_EQ(aLink_Destroy(&first), aErrNone);
    EXPECT_EQ(aLink_GetStatus(held), kLinkStatusNoStream);
}

TEST_F(UsbNodeModule, ASilentModuleGivesNoLink) {
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
    EXPECT_GE(msSince(t), 1900);  // the sync waited its 2 s
    // No entry was left behind: a module that answers now gets a link.
    peer->answerMagic(0x04);
    uint32_t id = aLink_CreateUSB(kSerial);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace

namespace {

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The socket stream answers "nothing now" at once; an idle link must sleep in between rather than
// poll in a loop.
TEST(LinkTableTcp, AnIdleLinkDoesNotBurnACore) {
    TcpModule module;
    ASSERT_TRUE(module.listening());
    uint32_t id = aLink_CreateTCPIP(0x0101, linktest::loopbackAddress(), module.port());
    ASSERT_NE(id, 0u);
    Peer* peer = module.accept();
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->waitFor(kRouteOn, 2000));
    const double cpu = processCpuSeconds();
    const auto t = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double share = (processCpuSeconds() - cpu) / (double(msSince(t)) / 1000.0);
    EXPECT_LT(share, 0.1) << "the idle link used " << share * 100 << " % of a core";
    // And it still answers at once when the module speaks.
    peer->sendRaw({0x04, 0x02, 0x00, 0x01});
    EXPECT_TRUE(peer->waitFor(Bytes{0x04, 0x02, 0x00, 0x03}, 1000));
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
