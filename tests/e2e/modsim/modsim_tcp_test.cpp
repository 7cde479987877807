// hvmodsim over TCP: a raw-bytes client checks the module's answers byte for byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "BirdWriter.h"
#include "SimProcess.h"

using namespace modsimtest;

namespace {

const std::string kBase =
    "serial=40F5849A,model=19,address=4,version=2.15.3,build=4242,name=Rack Hub,block=512,"
    "load_base=0x20001000,reboot_delay=300";

class ModsimTcp : public ::testing::Test {
  protected:
    void startSim(const std::string& extra = "", std::vector<std::string> more = {}) {
        std::vector<std::string> args{"--module", kBase + (extra.empty() ? "" : "," + extra)};
        args.insert(args.end(), more.begin(), more.end());
        ASSERT_TRUE(sim.start(args)) << sim.errors();
        port = sim.tcpPort("40F5849A");
        ASSERT_NE(port, 0) << sim.readyLine();
    }
    void connect() { ASSERT_EQ(tcp.connect(port), 0); }
    // Waits until the module accepts connections again (after a reboot).
    bool reconnect(uint64_t limitMs) {
        uint64_t t0 = nowMs();
        while (nowMs() - t0 < limitMs) {
            if (tcp.connect(port) == 0) return true;
            usleep(20000);
        }
        return false;
    }
    std::string tempDir() {
        char tmpl[] = "/tmp/modsim_test_XXXXXX";
        const char* d = mkdtemp(tmpl);
        dirs.push_back(d ? d : "");
        return dirs.back();
    }
    void TearDown() override {
        for (auto& d : dirs) std::system(("rm -rf '" + d + "'").c_str());
    }
    static Bytes readFile(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    SimProcess sim;
    RawTcp tcp;
    uint16_t port = 0;
    std::vector<std::string> dirs;
};

Bytes range(size_t n, uint8_t start) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(start + i * 7);
    return b;
}

uint32_t sumOf(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t v : b) s += v;
    return s;
}

Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Sends `image` as DATA packets of at most 26 bytes, each acknowledged with its count.
void sendData(RawTcp& tcp, const Bytes& image) {
    for (size_t off = 0; off < image.size(); off += 26) {
        size_t n = std::min<size_t>(26, image.size() - off);
        Bytes req{0x5F, 0x01};
        req.insert(req.end(), image.begin() + off, image.begin() + off + n);
        ASSERT_EQ(tcp.exchange(pkt(4, req), 5), pkt(4, {0x5F, 0x01, uint8_t(n)}));
    }
}

}  // namespace

TEST_F(ModsimTcp, StartsWellUnderASecondAndSaysWhereToConnect) {
    startSim();
    EXPECT_LT(sim.startMs(), 1000u);
    EXPECT_EQ(sim.where("40F5849A", "tcp").rfind("127.0.0.1:", 0), 0u) << sim.readyLine();
    EXPECT_EQ(sim.readyLine().rfind("hvmodsim ready ", 0), 0u);
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(ModsimTcp, AnswersMagicWithItsAddressAndIgnoresRoutePackets) {
    startSim();
    connect();
    EXPECT_EQ(tcp.exchange({0xAF, 0x01, 0x01, 0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
    // Six magic packets in one write, as a host syncing sends them.
    Bytes six;
    for (int i = 0; i < 6; ++i) six.insert(six.end(), {0xAD, 0x00});
    Bytes want;
    for (int i = 0; i < 6; ++i) want.insert(want.end(), {0x04, 0x00});
    EXPECT_EQ(tcp.exchange(six, 12), want);
}

TEST_F(ModsimTcp, AnswersSystemGets) {
    startSim();
    connect();
    struct Case {
        const char* what;
        Bytes request, reply;
    } cases[] = {
        {"serial", {0x03, 0x49, 0x20}, {0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}},
        {"model", {0x03, 0x48, 0x20}, {0x03, 0x08, 0x00, 0x13}},
        {"version", {0x03, 0x47, 0x20}, {0x03, 0x07, 0x00, 0x2F, 0x02, 0x0F, 0x03}},
        {"module", {0x03, 0x41, 0x20}, {0x03, 0x01, 0x00, 0x04}},
        {"router", {0x03, 0x42, 0x20}, {0x03, 0x02, 0x00, 0x04}},
        {"build", {0x03, 0x6B, 0x20}, {0x03, 0x2B, 0x00, 0x00, 0x00, 0x10, 0x92}},
        {"features", {0x03, 0x6D, 0x20}, {0x03, 0x2D, 0x00, 0x80, 0x00, 0x00, 0x00}},
        {"uid 2", {0x03, 0x67, 0x20, 0x02}, {0x03, 0x27, 0x00, 0x40, 0xF5, 0x84, 0x9A}},
        {"name",
         {0x03, 0x60, 0x20},
         {0x03, 0x20, 0x00, 'R', 'a', 'c', 'k', ' ', 'H', 'u', 'b', 0x00}},
        {"uid 4", {0x03, 0x67, 0x20, 0x04}, {0x03, 0x27, 0x80, 0x1A}},
        {"unknown option", {0x03, 0x72, 0x20}, {0x03, 0x32, 0x80, 0x1D}},
        {"set-only option", {0x03, 0x54, 0x20}, {0x03, 0x14, 0x80, 0x1D}},
        {"index 1", {0x03, 0x49, 0x21}, {0x03, 0x09, 0x81, 0x1A}},
        {"unknown entity", {0x05, 0x41, 0x20}, {0x05, 0x01, 0x80, 0x1C}},
    };
    for (const Case& c : cases) {
        Bytes want = pkt(4, c.reply);
        EXPECT_EQ(tcp.exchange(pkt(4, c.request), want.size()), want) << c.what;
    }
}

TEST_F(ModsimTcp, AcknowledgesSetsAndRefusesWhatItCannotSet) {
    startSim();
    connect();
    struct Case {
        const char* what;
        Bytes request, reply;
    } cases[] = {
        {"route to me", {0x03, 0x94, 0x20, 0x01}, {0x03, 0xD4, 0x00}},
        {"router", {0x03, 0x82, 0x20, 0x08}, {0x03, 0xC2, 0x00}},
        {"router read back", {0x03, 0x42, 0x20}, {0x03, 0x02, 0x00, 0x08}},
        {"save (call)", {0x03, 0x8A, 0x20}, {0x03, 0xCA, 0x00}},
        {"power limit 32-bit", {0x03, 0xA2, 0x20, 0, 0x98, 0x96, 0x80}, {0x03, 0xE2, 0x00}},
        {"module is get-only", {0x03, 0x81, 0x20, 0x06}, {0x03, 0xC1, 0x80, 0x1D}},
        {"LED with a 16-bit value", {0x03, 0x84, 0x20, 0x00, 0x01}, {0x03, 0xC4, 0x80, 0x0E}},
        {"route to me 5", {0x03, 0x94, 0x20, 0x05}, {0x03, 0xD4, 0x80, 0x02}},
        {"store save of the system entity",
         {0x5C, 0x80, 0x20, 0x00, 0x00, 0x03, 0x00},
         {0x5C, 0xC0, 0x00}},
    };
    for (const Case& c : cases) {
        Bytes want = pkt(4, c.reply);
        EXPECT_EQ(tcp.exchange(pkt(4, c.request), want.size()), want) << c.what;
    }
}

TEST_F(ModsimTcp, TakesAndReturnsANameInChunksOf24) {
    startSim();
    connect();
    Bytes name = range(25, 'A');
    Bytes first{0x03, 0xA0, 0x20};
    first.insert(first.end(), name.begin(), name.begin() + 24);
    first.push_back(0x80);
    Bytes second{0x03, 0xA0, 0x20, name[24], 0x01};
    ASSERT_EQ(first.size(), 28u);
    tcp.send(pkt(4, first));
    EXPECT_EQ(tcp.exchange(pkt(4, second), 5), pkt(4, {0x03, 0xE0, 0x00}));
    Bytes r1{0x03, 0x20, 0x00};
    r1.insert(r1.end(), name.begin(), name.begin() + 24);
    r1.push_back(0x80);
    Bytes want = cat(pkt(4, r1), pkt(4, {0x03, 0x20, 0x00, name[24], 0x01}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0x60, 0x20}), want.size()), want);
    // A chunk out of sequence is refused.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0xA0, 0x20, 'x', 0x02}), 6),
              pkt(4, {0x03, 0xE0, 0x80, 0x18}));
    // An empty name is one packet of four data bytes.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0xA0, 0x20, 0x00}), 5), pkt(4, {0x03, 0xE0, 0x00}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0x60, 0x20}), 6), pkt(4, {0x03, 0x20, 0x00, 0x00}));
}

TEST_F(ModsimTcp, AnswersQueriesAndTheEcho) {
    startSim();
    connect();
    struct Case {
        const char* what;
        Bytes request, reply;
    } cases[] = {
        {"build", {0x49, 0xFF}, {0x49, 0xFF, 0x00, 0x00, 0x10, 0x92}},
        {"has UEI 95/10 set",
         {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80},
         {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x00}},
        {"has UEI 3/9 set",
         {0x49, 0x01, 0x03, 0x09, 0x00, 0x80},
         {0x49, 0x01, 0x03, 0x09, 0x00, 0x1D}},
        {"has UEI 3/9 get",
         {0x49, 0x01, 0x03, 0x09, 0x00, 0x40},
         {0x49, 0x01, 0x03, 0x09, 0x00, 0x00}},
        {"has UEI 77/1",
         {0x49, 0x01, 0x4D, 0x01, 0x00, 0x00},
         {0x49, 0x01, 0x4D, 0x01, 0x00, 0x1C}},
        {"class quantity", {0x49, 0x04, 0x03}, {0x49, 0x04, 0x03, 0x01}},
        {"subclass quantity", {0x49, 0x05, 0x03, 0x00}, {0x49, 0x05, 0x03, 0x00, 0x01}},
        {"entity group", {0x49, 0x06, 0x03, 0x00}, {0x49, 0x06, 0x03, 0x00, 0x00}},
        {"echo", {0x17, 0x01, 0x02, 0x03}, {0x17, 0x01, 0x02, 0x03}},
    };
    for (const Case& c : cases) {
        Bytes want = pkt(4, c.reply);
        EXPECT_EQ(tcp.exchange(pkt(4, c.request), want.size()), want) << c.what;
    }
}

TEST_F(ModsimTcp, SendsHeartbeatsAndTakesTheAnswers) {
    startSim("heartbeat=100", {"-v"});
    connect();
    EXPECT_EQ(tcp.recv(4, 1000), (Bytes{0x04, 0x02, 0x00, 0x00}));
    tcp.send({0x04, 0x02, 0x00, 0x02});
    EXPECT_EQ(tcp.recv(4, 1000), (Bytes{0x04, 0x02, 0x00, 0x00}));
    // Not answering this one is noticed.
    EXPECT_EQ(tcp.recv(4, 1000), (Bytes{0x04, 0x02, 0x00, 0x00}));
    EXPECT_NE(sim.errors().find("heartbeat not answered"), std::string::npos);
}

TEST_F(ModsimTcp, RunsAWholeUpgradeAndRebootsIntoTheWrittenImage) {
    std::string dir = tempDir();
    std::string flash = dir + "/flash.bin";
    startSim("flash=" + flash);
    connect();
    // INIT: the load base.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x00}), 8), pkt(4, {0x5F, 0x00, 0x20, 0x00, 0x10, 0x00}));
    // Loader: PREPARE (status, block size), DATA, SUM, then WRITE is refused outside the loader.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x20, 0x00, 0x10, 0x00}), 7),
              pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
    Bytes loader = range(34, 1);
    sendData(tcp, loader);
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
              pkt(4, cat({0x5F, 0x07, 0x00}, be32(sumOf(loader)))));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 0x22}), 5), pkt(4, {0x5F, 0x07, 0x01}));
    // LOAD: answered, and the link stays up.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x02}), 4), pkt(4, {0x5F, 0x02}));
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));

    // Firmware in two pieces, each DATA..., SUM, WRITE.
    Bytes image = MakeTestFirmwareImage(0x2F030001, 5555, 60);
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00}), 7),
              pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
    Bytes p1(image.begin(), image.begin() + 40), p2(image.begin() + 40, image.end());
    sendData(tcp, p1);
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
              pkt(4, cat({0x5F, 0x07, 0x00}, be32(sumOf(p1)))));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 40}), 5), pkt(4, {0x5F, 0x07, 0x00}));
    EXPECT_EQ(readFile(flash), p1);
    sendData(tcp, p2);
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
              pkt(4, cat({0x5F, 0x07, 0x00}, be32(sumOf(p2)))));
    // WRITE with a count other than the piece's is refused and nothing is written.
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 19}), 5), pkt(4, {0x5F, 0x07, 0x01}));
    EXPECT_EQ(readFile(flash), p1);
    sendData(tcp, p2);
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 20}), 5), pkt(4, {0x5F, 0x07, 0x00}));
    EXPECT_EQ(readFile(flash), image);

    // REBOOT: no answer, the link drops, connections are refused until the module is back.
    tcp.send(pkt(4, {0x5F, 0x06}));
    EXPECT_TRUE(tcp.closedWithin(1000));
    EXPECT_EQ(tcp.connect(port), ECONNREFUSED);
    ASSERT_TRUE(reconnect(3000));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0x47, 0x20}), 9),
              pkt(4, {0x03, 0x07, 0x00, 0x2F, 0x03, 0x00, 0x01}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x49, 0xFF}), 8), pkt(4, {0x49, 0xFF, 0x00, 0x00, 0x15, 0xB3}));
}

TEST_F(ModsimTcp, TakesPiecesAsUEIByteStrings) {
    startSim("mode=loader");
    connect();
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00}), 7),
              pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
    Bytes piece = range(30, 9);
    Bytes c1{0x5F, 0x8A, 0x20};
    c1.insert(c1.end(), piece.begin(), piece.begin() + 24);
    c1.push_back(0x80);
    Bytes c2{0x5F, 0x8A, 0x20};
    c2.insert(c2.end(), piece.begin() + 24, piece.end());
    c2.push_back(0x01);
    tcp.send(pkt(4, c1));
    EXPECT_EQ(tcp.exchange(pkt(4, c2), 5), pkt(4, {0x5F, 0xCA, 0x00}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
              pkt(4, cat({0x5F, 0x07, 0x00}, be32(sumOf(piece)))));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 30}), 5), pkt(4, {0x5F, 0x07, 0x00}));
}

TEST_F(ModsimTcp, ResetDropsTheLinkAndComesBackWithTheSameFirmware) {
    startSim();
    connect();
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0x8B, 0x20}), 5), pkt(4, {0x03, 0xCB, 0x00}));
    EXPECT_TRUE(tcp.closedWithin(1000));
    ASSERT_TRUE(reconnect(3000));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x03, 0x47, 0x20}), 9),
              pkt(4, {0x03, 0x07, 0x00, 0x2F, 0x02, 0x0F, 0x03}));
}

TEST_F(ModsimTcp, ServesOneLinkAtATime) {
    startSim();
    connect();
    RawTcp second;
    ASSERT_EQ(second.connect(port), 0);
    EXPECT_TRUE(second.closedWithin(1000));
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, StopsCleanlyOnSigterm) {
    startSim();
    connect();
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_TRUE(tcp.closedWithin(1000));
}

// ---------------------------------------------------------------------------------------------
// Faults

TEST_F(ModsimTcp, FaultWrongSumOnTheNthPiece) {
    startSim("mode=loader,fault-sum=2");
    connect();
    Bytes piece = range(10, 3);
    uint32_t s = sumOf(piece);
    for (uint32_t want : {s, s + 1, s}) {
        ASSERT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00}), 7),
                  pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
        sendData(tcp, piece);
        EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
                  pkt(4, cat({0x5F, 0x07, 0x00}, be32(want))));
    }
}

TEST_F(ModsimTcp, FaultSumWrongFromTheNthOn) {
    startSim("mode=loader,fault-sum=1+");
    connect();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9), pkt(4, cat({0x5F, 0x07, 0x00}, be32(1))));
}

TEST_F(ModsimTcp, FaultsThatLeaveTheNthRequestUnanswered) {
    struct Case {
        const char* fault;
        Bytes request, reply;
    } cases[] = {
        {"fault-noprepare=1",
         {0x5F, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00},
         {0x5F, 0x07, 0x00, 0x02, 0x00}},
        {"fault-nodata=1", {0x5F, 0x01, 0xAA, 0xBB}, {0x5F, 0x01, 0x02}},
        {"fault-nowrite=1", {0x5F, 0x05, 0x00, 0x02}, {0x5F, 0x07, 0x01}},
    };
    for (const Case& c : cases) {
        SimProcess s;
        ASSERT_TRUE(s.start({"--module", kBase + ",mode=loader," + c.fault}));
        RawTcp t;
        ASSERT_EQ(t.connect(s.tcpPort("40F5849A")), 0);
        EXPECT_TRUE(t.exchange(pkt(4, c.request), 1, 300).empty()) << c.fault;
        Bytes want = pkt(4, c.reply);
        EXPECT_EQ(t.exchange(pkt(4, c.request), want.size()), want) << c.fault;
    }
}

TEST_F(ModsimTcp, FaultShortAcknowledgementTakesNothing) {
    startSim("mode=loader,fault-shortack=2");
    connect();
    Bytes a = range(26, 1), b = range(26, 50);
    ASSERT_EQ(tcp.exchange(pkt(4, cat({0x5F, 0x01}, a)), 5), pkt(4, {0x5F, 0x01, 26}));
    EXPECT_EQ(tcp.exchange(pkt(4, cat({0x5F, 0x01}, b)), 5), pkt(4, {0x5F, 0x01, 25}));
    EXPECT_EQ(tcp.exchange(pkt(4, cat({0x5F, 0x01}, b)), 5), pkt(4, {0x5F, 0x01, 26}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x04}), 9),
              pkt(4, cat({0x5F, 0x07, 0x00}, be32(sumOf(a) + sumOf(b)))));
}

TEST_F(ModsimTcp, FaultBusyRefusesConnectionsButKeepsItsPort) {
    startSim("fault-busy=1");
    EXPECT_EQ(tcp.connect(port), ECONNREFUSED);
}

TEST_F(ModsimTcp, FaultLinkDroppedAfterNPackets) {
    startSim("fault-drop=3");
    connect();
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
    tcp.send({0xAD, 0x00});
    EXPECT_TRUE(tcp.closedWithin(1000));
    // Once only: the next link carries on.
    connect();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 2), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, FaultSlowFlashDelaysTheWriteAnswer) {
    startSim("mode=loader,fault-slowflash=400");
    connect();
    ASSERT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x00, 0x01, 0x00, 0x00}), 7),
              pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
    sendData(tcp, range(4, 1));
    uint64_t t0 = nowMs();
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 0x04}), 5, 2000), pkt(4, {0x5F, 0x07, 0x00}));
    EXPECT_GE(nowMs() - t0, 380u);
}

TEST_F(ModsimTcp, FaultLoadAnsweredOnlyAfterAReconnect) {
    startSim("fault-load=reconnect");
    connect();
    EXPECT_TRUE(tcp.exchange(pkt(4, {0x5F, 0x02}), 1, 300).empty());
    connect();
    // The first packet of the new link brings the held answer, then the magic's.
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 6), cat(pkt(4, {0x5F, 0x02}), {0x04, 0x00}));
}

TEST_F(ModsimTcp, FaultLoadNeverAnswered) {
    startSim("fault-load=never");
    connect();
    EXPECT_TRUE(tcp.exchange(pkt(4, {0x5F, 0x02}), 1, 300).empty());
    connect();
    EXPECT_EQ(tcp.exchange({0xAD, 0x00}, 6, 300), (Bytes{0x04, 0x00}));
}

TEST_F(ModsimTcp, FaultNeverComesBackAfterReboot) {
    startSim("mode=loader,fault-noreturn=1,reboot_delay=100");
    connect();
    tcp.send(pkt(4, {0x5F, 0x06}));
    EXPECT_TRUE(tcp.closedWithin(1000));
    EXPECT_FALSE(reconnect(600));
}

TEST_F(ModsimTcp, FaultNoUEIByteStrings) {
    startSim("mode=loader,fault-nouei=1");
    connect();
    EXPECT_EQ(tcp.exchange(pkt(4, {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x80}), 8),
              pkt(4, {0x49, 0x01, 0x5F, 0x0A, 0x00, 0x1D}));
    EXPECT_EQ(tcp.exchange(pkt(4, {0x5F, 0x8A, 0x20, 0x11, 0x00}), 6),
              pkt(4, {0x5F, 0xCA, 0x80, 0x1D}));
}

TEST_F(ModsimTcp, DumpsTheFlashAgainOnSigusr1) {
    std::string flash = tempDir() + "/flash.bin";
    startSim("mode=loader,flash=" + flash);
    connect();
    ASSERT_EQ(tcp.exchange(pkt(4, {0x5F, 0x03, 0x00, 0x00, 0x00, 0x10, 0x00}), 7),
              pkt(4, {0x5F, 0x07, 0x00, 0x02, 0x00}));
    Bytes piece = range(5, 2);
    sendData(tcp, piece);
    ASSERT_EQ(tcp.exchange(pkt(4, {0x5F, 0x05, 0x00, 0x05}), 5), pkt(4, {0x5F, 0x07, 0x00}));
    ASSERT_EQ(readFile(flash), piece);
    ASSERT_EQ(unlink(flash.c_str()), 0);
    ASSERT_EQ(kill(sim.pid(), SIGUSR1), 0);
    uint64_t t0 = nowMs();
    while (access(flash.c_str(), F_OK) != 0 && nowMs() - t0 < 2000) usleep(10000);
    EXPECT_EQ(readFile(flash), piece);
}
