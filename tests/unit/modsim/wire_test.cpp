// The simulator's own codecs against the published examples: CRC-8/MAXIM-DOW check values, COBS
// encodings, serial frames, and the raw stream's packet cutting.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

#include "Config.h"
#include "Wire.h"

using namespace modsim;
using Bytes = std::vector<uint8_t>;

TEST(ModsimWire, Crc8CheckValues) {
    const std::string digits = "123456789", abc = "abc";
    EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xA1);
    EXPECT_EQ(crc8(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()), 0x42);
    EXPECT_EQ(crc8(nullptr, 0), 0x00);
}

TEST(ModsimWire, CobsEncodesAndDecodesTheExamples) {
    struct Case {
        Bytes plain, encoded;
    } cases[] = {
        {{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
        {{0x00}, {0x01, 0x01}},
        {{}, {0x01}},
        {{0x04, 0x00, 0x3B}, {0x02, 0x04, 0x02, 0x3B}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cobsEncode(c.plain.data(), c.plain.size()), c.encoded);
        bool ok = false;
        EXPECT_EQ(cobsDecode(c.encoded.data(), c.encoded.size(), ok), c.plain);
        EXPECT_TRUE(ok);
    }
    Bytes run(254, 0x01);
    Bytes enc = cobsEncode(run.data(), run.size());
    ASSERT_EQ(enc.size(), 255u);  // a full block needs no block after it
    EXPECT_EQ(enc[0], 0xFF);
    bool ok = false;
    EXPECT_EQ(cobsDecode(enc.data(), enc.size(), ok), run);
    EXPECT_TRUE(ok);
    Bytes bad{0x05, 0x11};
    EXPECT_TRUE(cobsDecode(bad.data(), bad.size(), ok).empty());
    EXPECT_FALSE(ok);
}

TEST(ModsimWire, FramesCarryOnePacketWithItsCrc) {
    EXPECT_EQ(frameEncode(Packet(4, {})), (Bytes{0x02, 0x04, 0x02, 0x3B, 0x00}));
    Packet full(4, {});
    for (int i = 0; i < 28; ++i) full.push(uint8_t(i + 1));
    Bytes f = frameEncode(full);
    EXPECT_EQ(f.size(), 33u);
    FrameReader r;
    Packet out;
    FrameReader::Result res = FrameReader::None;
    for (uint8_t b : f) res = r.feed(b, out);
    ASSERT_EQ(res, FrameReader::Good);
    EXPECT_EQ(out.bytes(), full.bytes());
    // One flipped bit: reported once, and the next frame is fine.
    f[5] ^= 0x10;
    for (uint8_t b : f) res = r.feed(b, out);
    EXPECT_EQ(res, FrameReader::Bad);
    for (uint8_t b : frameEncode(Packet(6, {1, 2}))) res = r.feed(b, out);
    ASSERT_EQ(res, FrameReader::Good);
    EXPECT_EQ(out.bytes(), (Bytes{6, 2, 1, 2}));
}

TEST(ModsimWire, RawStreamIsCutByLengthAndResyncsAfterAGap) {
    PacketReader r(100);
    Packet p;
    Bytes stream{0xAD, 0x00, 0x04, 0x02, 0x11, 0x22};
    std::vector<Bytes> got;
    for (uint8_t b : stream)
        if (r.feed(b, 0, p)) got.push_back(p.bytes());
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], (Bytes{0xAD, 0x00}));
    EXPECT_EQ(got[1], (Bytes{0x04, 0x02, 0x11, 0x22}));
    // Half a packet, then silence: the next bytes start a new packet.
    EXPECT_FALSE(r.feed(0x04, 1000, p));
    EXPECT_FALSE(r.feed(0x05, 1001, p));
    EXPECT_FALSE(r.feed(0xAD, 2000, p));
    EXPECT_TRUE(r.feed(0x00, 2001, p));
    EXPECT_EQ(p.bytes(), (Bytes{0xAD, 0x00}));
}

TEST(ModsimConfig, PacksVersionsAsModulesReportThem) {
    EXPECT_EQ(packVersion(2, 14, 7), 0x2E000007u);
    EXPECT_EQ(packVersion(2, 15, 0), 0x2F020F00u);
    EXPECT_EQ(packVersion(3, 0, 1), 0x2F030001u);
}

TEST(ModsimConfig, ReadsModuleSpecifications) {
    SimConfig cfg;
    std::string err;
    ASSERT_TRUE(parseArgs({"-v", "--module",
                           "serial=40F5849A,model=0x13,address=6,version=2.14.7,build=77,"
                           "name=A\\,B,features=0,uei_bytes=0,block=256,load_base=0x1000,"
                           "link=tcp+serial,fault-sum=3+,fault-load=reconnect"},
                          cfg, err))
        << err;
    ASSERT_EQ(cfg.modules.size(), 1u);
    const ModuleConfig& m = cfg.modules[0];
    EXPECT_TRUE(cfg.verbose);
    EXPECT_EQ(m.serial, 0x40F5849Au);
    EXPECT_EQ(m.model, 0x13);
    EXPECT_EQ(m.address, 6);
    EXPECT_EQ(m.version, 0x2E000007u);
    EXPECT_EQ(m.build, 77u);
    EXPECT_EQ(m.name, "A,B");
    EXPECT_EQ(m.features, 0u);
    EXPECT_FALSE(m.ueiBytes);
    EXPECT_EQ(m.blockSize, 256);
    EXPECT_EQ(m.loadBase, 0x1000u);
    EXPECT_TRUE(m.tcp && m.serialLink && !m.usb);
    EXPECT_EQ(m.productId, 0x13);
    EXPECT_TRUE(m.faults.badSum.hits(3) && m.faults.badSum.hits(9) && !m.faults.badSum.hits(2));
    EXPECT_EQ(m.faults.load, LoadFault::AfterReconnect);
}

TEST(ModsimConfig, RefusesWhatCannotBeSimulated) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--module", "address=3"},
        {"--module", "address=0"},
        {"--module", "serial=xyz"},
        {"--module", "colour=red"},
        {"--module", "link=ethernet"},
        {"--module", "version=2.15"},
        {"--module", "serial=1", "--module", "serial=1"},
        {"--module", "serial=1,behind=2"},
        {"--module", "serial=1", "--module", "serial=2,behind=1,address=2"},
        {"--module", "serial=1", "--module", "serial=2,behind=1,link=tcp"},
        {"--bogus"},
        {"--config", "/nonexistent/modsim.conf"},
    };
    for (const auto& args : bad) {
        SimConfig cfg;
        std::string err;
        EXPECT_FALSE(parseArgs(args, cfg, err)) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(err.empty());
    }
}

TEST(ModsimConfig, ReadsOptionsFromAFileOnePerLine) {
    char path[] = "/tmp/modsim_conf_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text =
        "# two modules\n"
        "\n"
        "--module serial=40F50001,name=Rack A hub\n"
        "  --module   serial=40F50002,address=4,behind=40F50001\n"
        "-v\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
    SimConfig cfg;
    std::string err;
    bool ok = parseArgs({"--config", path, "--probe", "192.0.2.1"}, cfg, err);
    unlink(path);
    ASSERT_TRUE(ok) << err;
    ASSERT_EQ(cfg.modules.size(), 2u);
    EXPECT_EQ(cfg.modules[0].name, "Rack A hub");
    EXPECT_EQ(cfg.modules[1].behind, 0x40F50001u);
    EXPECT_TRUE(cfg.verbose);
    EXPECT_EQ(cfg.probeInterface, "192.0.2.1");
}
