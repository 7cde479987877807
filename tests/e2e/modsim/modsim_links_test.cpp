// hvmodsim over its serial line (COBS frames with CRC-8 on a pty) and as a router with modules
// behind it on its I2C bus.
#include <gtest/gtest.h>
#include <termios.h>

#include "SimProcess.h"

using namespace modsimtest;

namespace {

class Pty {
  public:
    explicit Pty(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
        tcflush(fd_, TCIOFLUSH);
    }
    ~Pty() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const Bytes& b) { ASSERT_EQ(::write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    // Reads up to and including the next 0x00 delimiter, or what came within the limit.
    Bytes frame(uint64_t limitMs = 1000) {
        Bytes out;
        uint64_t t0 = nowMs();
        while (nowMs() - t0 < limitMs) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(limitMs - (nowMs() - t0))) <= 0) break;
            uint8_t c;
            if (::read(fd_, &c, 1) != 1) break;
            out.push_back(c);
            if (c == 0) break;
        }
        return out;
    }

  private:
    int fd_ = -1;
};

}  // namespace

TEST(ModsimSerial, SpeaksCobsFramesWithCrc8) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=4,link=serial"}));
    std::string path = sim.where("40F5849A", "pty");
    ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << sim.readyLine();
    Pty pty(path);
    ASSERT_TRUE(pty.ok());
    // Magic AD 00 (CRC 67) -> the module's 04 00 (CRC 3B), each COBS-encoded and delimited.
    pty.send({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(pty.frame(), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
    // Get serial number: 04 03 03 49 20 (CRC 79) -> 04 07 03 09 00 40 F5 84 9A (CRC 80).
    pty.send({0x07, 0x04, 0x03, 0x03, 0x49, 0x20, 0x79, 0x00});
    EXPECT_EQ(pty.frame(),
              (Bytes{0x05, 0x04, 0x07, 0x03, 0x09, 0x06, 0x40, 0xF5, 0x84, 0x9A, 0x80, 0x00}));
    // A frame with one bit flipped is dropped; the next good one is answered.
    pty.send({0x07, 0x04, 0x03, 0x03, 0x49, 0x21, 0x79, 0x00});
    pty.send({0x02, 0xAD, 0x02, 0x67, 0x00});
    EXPECT_EQ(pty.frame(), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
}

TEST(ModsimSerial, LineSurvivesTheHostClosingIt) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=4,link=serial"}));
    std::string path = sim.where("40F5849A", "pty");
    for (int i = 0; i < 2; ++i) {
        Pty pty(path);
        ASSERT_TRUE(pty.ok());
        pty.send({0x02, 0xAD, 0x02, 0x67, 0x00});
        EXPECT_EQ(pty.frame(), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00})) << "open " << i;
    }
}

class ModsimRouter : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(
            sim.start({"--module", "serial=40F50001,address=2,model=17", "--module",
                       "serial=40F50004,address=4,behind=40F50001,mode=loader,reboot_delay=200",
                       "--module", "serial=40F50006,address=6,behind=40F50001,model=21"}));
        ASSERT_EQ(tcp.connect(sim.tcpPort("40F50001")), 0) << sim.readyLine();
    }
    SimProcess sim;
    RawTcp tcp;
};

TEST_F(ModsimRouter, ReadyLineNamesTheModulesBehindIt) {
    EXPECT_EQ(sim.where("40F50004", "behind"), "40F50001@4");
    EXPECT_EQ(sim.where("40F50006", "behind"), "40F50001@6");
    EXPECT_EQ(sim.where("40F50004", "tcp"), "");
}

TEST_F(ModsimRouter, I2CEntityAcknowledgesWritesWhereModulesSit) {
    // write: 8, index 0, address, length 2, speed 3, two zero bytes
    struct Case {
        uint8_t address;
        uint8_t status;
    } cases[] = {{4, 0x00}, {6, 0x00}, {8, 0x86}, {2, 0x86}};
    for (const Case& c : cases) {
        EXPECT_EQ(tcp.exchange(pkt(2, {0x08, 0x00, c.address, 0x02, 0x03, 0x00, 0x00}), 7),
                  pkt(2, {0x08, 0x00, c.address, 0x00, c.status}))
            << int(c.address);
    }
    // A read from a module that is there: count and status, then the bytes.
    EXPECT_EQ(tcp.exchange(pkt(2, {0x08, 0x00, 0x05, 0x02, 0x03}), 9),
              pkt(2, {0x08, 0x00, 0x05, 0x02, 0x00, 0x00, 0x00}));
}

TEST_F(ModsimRouter, ModulesBehindAnswerOnlyWhileRoutedToTheHost) {
    Bytes getSerial4 = pkt(4, {0x03, 0x49, 0x20});
    EXPECT_TRUE(tcp.exchange(getSerial4, 1, 300).empty());
    EXPECT_EQ(tcp.exchange(pkt(2, {0x03, 0x94, 0x20, 0x01}), 5), pkt(2, {0x03, 0xD4, 0x00}));
    EXPECT_EQ(tcp.exchange(getSerial4, 9), pkt(4, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x00, 0x04}));
    EXPECT_EQ(tcp.exchange(pkt(6, {0x03, 0x48, 0x20}), 6), pkt(6, {0x03, 0x08, 0x00, 21}));
    EXPECT_EQ(tcp.exchange(pkt(6, {0x03, 0x41, 0x20}), 6), pkt(6, {0x03, 0x01, 0x00, 0x06}));
    EXPECT_EQ(tcp.exchange(pkt(6, {0x03, 0x42, 0x20}), 6), pkt(6, {0x03, 0x02, 0x00, 0x02}));
    // The magic packet is the router's to answer.
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 4, 300), (Bytes{0x02, 0x00}));
    EXPECT_EQ(tcp.exchange(pkt(2, {0x03, 0x94, 0x20, 0x00}), 5), pkt(2, {0x03, 0xD4, 0x00}));
    EXPECT_TRUE(tcp.exchange(getSerial4, 1, 300).empty());
}

TEST_F(ModsimRouter, TheLinksRoutePacketAlsoRoutesToTheHost) {
    // A host's link sends 0xAF 0x01 when it starts and 0xAF 0x00 when it stops.
    Bytes getSerial6 = pkt(6, {0x03, 0x49, 0x20});
    tcp.send({0xAF, 0x01, 0x01});
    EXPECT_EQ(tcp.exchange(getSerial6, 9), pkt(6, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x00, 0x06}));
    // routeToMe(0), as a network scan ends, leaves the link's own routing in place.
    EXPECT_EQ(tcp.exchange(pkt(2, {0x03, 0x94, 0x20, 0x00}), 5), pkt(2, {0x03, 0xD4, 0x00}));
    EXPECT_EQ(tcp.exchange(getSerial6, 9), pkt(6, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x00, 0x06}));
    tcp.send({0xAF, 0x01, 0x00});
    EXPECT_TRUE(tcp.exchange(getSerial6, 1, 300).empty());
}

TEST_F(ModsimRouter, AModuleBehindRebootsWithoutDroppingTheRoutersLink) {
    EXPECT_EQ(tcp.exchange(pkt(2, {0x03, 0x94, 0x20, 0x01}), 5), pkt(2, {0x03, 0xD4, 0x00}));
    tcp.send(pkt(4, {0x5F, 0x06}));
    EXPECT_TRUE(tcp.exchange(pkt(4, {0x03, 0x49, 0x20}), 1, 100).empty());
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x02, 0x00}));
    uint64_t t0 = nowMs();
    Bytes r;
    while (r.empty() && nowMs() - t0 < 2000) r = tcp.exchange(pkt(4, {0x03, 0x49, 0x20}), 9, 100);
    EXPECT_EQ(r, pkt(4, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x00, 0x04}));
}
