// BirdFile: header check, block scanning, the info readers and the in-memory edits.
#include "firmware/BirdFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "BirdWriter.h"
#include "FirmwareTestSupport.h"

namespace {

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Writes the bytes to a file in `dir` and loads it.
BirdFile LoadBytes(const TempDir& dir, const Bytes& bytes, const std::string& name = "f.bird") {
    EXPECT_TRUE(WriteBytes(dir / name, bytes));
    return BirdFile(dir / name);
}

// Scans a block area held in a buffer of exactly its size, so that any read beyond it is caught
// by AddressSanitizer.
struct ExactScan {
    explicit ExactScan(const Bytes& area) : copy(new uint8_t[area.size() ? area.size() : 1]) {
        if (!area.empty()) memcpy(copy.get(), area.data(), area.size());
        ok = file.ScanBlocks(copy.get(), uint32_t(area.size()));
    }
    std::unique_ptr<uint8_t[]> copy;
    BirdFile file;
    bool ok = false;
};

uint32_t LE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

// ---- header check ----

struct VerifyCase {
    const char* name;
    std::string bytes;
    bool valid;
};

void PrintTo(const VerifyCase& c, std::ostream* os) {
    *os << c.name;
}

class VerifyFileTest : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(VerifyFileTest, ChecksSignatureAndVersionBytes) {
    TempDir dir;
    WriteText(dir / "f.bird", GetParam().bytes);
    EXPECT_EQ(BirdFile::VerifyFile(dir / "f.bird"), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, VerifyFileTest,
    ::testing::Values(VerifyCase{"version_0101", std::string("bird\x01\x01", 6), true},
                      VerifyCase{"with_block_area", std::string("bird\x01\x01xyz", 9), true},
                      VerifyCase{"version_0100", std::string("bird\x01\x00", 6), false},
                      VerifyCase{"version_0001", std::string("bird\x00\x01", 6), false},
                      VerifyCase{"other_signature", std::string("BIRD\x01\x01", 6), false},
                      VerifyCase{"five_bytes", std::string("bird\x01", 5), false},
                      VerifyCase{"empty", std::string(), false}),
    [](const ::testing::TestParamInfo<VerifyCase>& info) { return info.param.name; });

TEST(BirdFileVerify, MissingFileIsLoggedAndRejected) {
    TempDir dir;
    LogCapture log;
    EXPECT_FALSE(BirdFile::VerifyFile(dir / "none.bird"));
    EXPECT_NE(
        log.text().find("BIRDFILE: Error - cannot open bird file: '" + (dir / "none.bird") + "'\n"),
        std::string::npos);
}

// ---- loading ----

TEST(BirdFileLoad, ReadsHeaderBlocksAndChecksum) {
    TempDir dir;
    BirdWriter w;
    w.Loader(0x10000000, Bytes(32, 0x11), 2)
        .Firmware(0x00004000, Bytes(100, 0x22), 5)
        .SerialOffsets(0x4010, 0x4020)
        .Info(12345, "1.2.3", 0x0012ABCD, "USBHub3p")
        .Checksum(0xCAFEF00D);
    BirdFile file = LoadBytes(dir, w.FileBytes());
    EXPECT_EQ(file.signature(), 0x62697264u);
    EXPECT_EQ(file.version(), 0x0101u);
    EXPECT_EQ(file.checksum(), 0xCAFEF00Du);
    ASSERT_EQ(file.blockCount(), 4u);
    ASSERT_EQ(file.blocks().size(), 4u);
    const BirdBlock& loader = file.blocks()[0];
    EXPECT_EQ(loader.type, BirdFile::BLOCK_LOADER);
    EXPECT_EQ(loader.flags, 2);
    EXPECT_EQ(loader.length, 36u);
    EXPECT_EQ(loader.address, 0x10000000u);
    EXPECT_EQ(loader.data[4], 0x11);
    const BirdBlock& firmware = file.blocks()[1];
    EXPECT_EQ(firmware.flags, 5);
    EXPECT_EQ(firmware.address, 0x4000u);
    EXPECT_TRUE(file.hasSerialOffsets());
    EXPECT_EQ(file.serialNumberOffset(), 0x4010u);
    EXPECT_EQ(file.descriptorOffset(), 0x4020u);
    // Block records point into the owned buffer.
    for (const BirdBlock& b : file.blocks()) {
        EXPECT_GE(b.data, file.data());
        EXPECT_LE(b.data + b.length, file.data() + file.dataSize());
    }
    EXPECT_EQ(file.FindBlocks(BirdFile::BLOCK_FIRMWARE).size(), 1u);
    EXPECT_TRUE(file.FindBlocks(BirdFile::BLOCK_LOADER_START).empty());
}

struct TypeByteCase {
    uint8_t typeByte;
    uint8_t type;
    uint8_t flags;
};

void PrintTo(const TypeByteCase& c, std::ostream* os) {
    *os << int(c.typeByte);
}

class TypeByteTest : public ::testing::TestWithParam<TypeByteCase> {};

TEST_P(TypeByteTest, SplitsTypeAndFlags) {
    TempDir dir;
    BirdWriter w;
    w.Raw(GetParam().typeByte, Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0xEE});
    BirdFile file = LoadBytes(dir, w.FileBytes());
    ASSERT_EQ(file.blockCount(), 1u);
    EXPECT_EQ(file.blocks()[0].type, GetParam().type);
    EXPECT_EQ(file.blocks()[0].flags, GetParam().flags);
    // The address word is read for loader and firmware blocks only.
    const bool addressed = GetParam().type <= 1;
    EXPECT_EQ(file.blocks()[0].address, addressed ? 0xAABBCCDDu : 0u);
}

INSTANTIATE_TEST_SUITE_P(Bytes, TypeByteTest,
                         ::testing::Values(TypeByteCase{0x21, 1, 1}, TypeByteCase{0xE4, 4, 7},
                                           TypeByteCase{0x00, 0, 0}, TypeByteCase{0x1F, 31, 0},
                                           TypeByteCase{0xA5, 5, 5}, TypeByteCase{0x43, 3, 2}));

TEST(BirdFileLoad, MissingFileThrowsAndLogs) {
    TempDir dir;
    LogCapture log;
    try {
        BirdFile file(dir / "gone.bird");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to load bird data");
    }
    EXPECT_NE(log.text().find("BIRDFILE: BIRD file not found [" + (dir / "gone.bird") + "]\n"),
              std::string::npos);
}

struct BadFileCase {
    const char* name;
    Bytes bytes;
    const char* logged;
};

void PrintTo(const BadFileCase& c, std::ostream* os) {
    *os << c.name;
}

class BadFileTest : public ::testing::TestWithParam<BadFileCase> {};

TEST_P(BadFileTest, FailsToLoad) {
    TempDir dir;
    WriteBytes(dir / "f.bird", GetParam().bytes);
    LogCapture log;
    BirdFile file;
    EXPECT_THROW(file = BirdFile(dir / "f.bird"), std::runtime_error);
    EXPECT_NE(log.text().find(GetParam().logged), std::string::npos) << log.text();
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFileCase{"header_only", Text(std::string("bird\x01\x01", 6)),
                    "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BadFileCase{"four_bytes", Text("bird"), "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BadFileCase{"empty", Bytes(), "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BadFileCase{"not_zlib", Text(std::string("bird\x01\x01garbage-garbage", 21)),
                    "BIRDFILE: Error (-3) decompressing bird file.\n"},
        BadFileCase{"truncated_stream",
                    [] {
                        Bytes b = BirdWriter().Firmware(0, PseudoRandomBytes(4000, 1)).FileBytes();
                        b.resize(b.size() / 2);
                        return b;
                    }(),
                    "BIRDFILE: Error (-3) decompressing bird file.\n"}),
    [](const ::testing::TestParamInfo<BadFileCase>& info) { return info.param.name; });

TEST(BirdFileLoad, InflatesFilesCompressingBetterThanEightToOne) {
    TempDir dir;
    BirdWriter w;
    w.Firmware(0, Bytes(1 << 20, 0x00)).Info(7, "1.0", 1, "M");
    const Bytes bytes = w.FileBytes();
    ASSERT_LT(bytes.size() * 8, size_t(1) << 20);  // far better than 8:1
    BirdFile file = LoadBytes(dir, bytes);
    EXPECT_EQ(file.blockCount(), 2u);
    EXPECT_EQ(file.blocks()[0].length, (1u << 20) + 4);
}

TEST(BirdFileLoad, RefusesBlockAreaBeyondCeiling) {
    TempDir dir;
    // A block area of 64 MiB + 1 KiB of zeros compresses to about 65 KiB.
    Bytes area(BirdFile::MAX_BLOCK_AREA + 1024, 0);
    WriteBytes(dir / "bomb.bird", BirdFileFromArea(area));
    area = Bytes();
    LogCapture log;
    EXPECT_THROW(BirdFile(dir / "bomb.bird"), std::runtime_error);
    EXPECT_NE(log.text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
              std::string::npos);
}

TEST(BirdFileLoad, BlockAreaAtCeilingLoads) {
    TempDir dir;
    BirdWriter w;
    // 5 bytes block header + 4 count + 4 checksum around the contents.
    w.Raw(0x07, Bytes(BirdFile::MAX_BLOCK_AREA - 13, 0));
    BirdFile file = LoadBytes(dir, w.FileBytes());
    EXPECT_EQ(file.dataSize(), BirdFile::MAX_BLOCK_AREA);
    EXPECT_EQ(file.blockCount(), 1u);
}

// ---- scan mismatches ----

struct ScanCase {
    const char* name;
    Bytes area;
    bool ok;
    uint32_t blocks;
    const char* logged;  // null: no mismatch line at all
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ScanTest, ReportsMismatchAndKeepsWholeBlocks) {
    LogCapture log;
    ExactScan scan(GetParam().area);
    EXPECT_EQ(scan.ok, GetParam().ok);
    EXPECT_EQ(scan.file.blockCount(), GetParam().blocks);
    EXPECT_EQ(scan.file.blocks().size(), GetParam().blocks);
    const std::string text = log.text();
    if (GetParam().logged) {
        EXPECT_NE(text.find(GetParam().logged), std::string::npos) << text;
    } else {
        EXPECT_EQ(text.find("mismatch"), std::string::npos) << text;
    }
    for (const BirdBlock& b : scan.file.blocks()) {
        EXPECT_LE(b.data + b.length, scan.copy.get() + GetParam().area.size());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Areas, ScanTest,
    ::testing::Values(
        ScanCase{"well_formed",
                 BirdWriter().Firmware(0, Bytes(8, 1)).Info(1, "v", 2, "m").BlockArea(), true, 2,
                 nullptr},
        ScanCase{"no_blocks", BirdWriter().BlockArea(), true, 0, nullptr},
        ScanCase{
            "count_says_three_holds_two",
            BirdWriter().Firmware(0, Bytes(8, 1)).Info(1, "v", 2, "m").ReportedCount(3).BlockArea(),
            false, 2, "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        ScanCase{"bytes_after_checksum",
                 BirdWriter().Firmware(0, Bytes(8, 1)).Trailing(Bytes(3, 0xEE)).BlockArea(), false,
                 1, "BIRDFILE: Block parsing mismatch in data size. (3 bytes remaining)\n"},
        // The block claiming 1000 bytes ends the scan; its first 4 bytes are taken as the
        // checksum, and the 1 + 10 + 4 bytes after them are left over.
        ScanCase{"length_past_end",
                 BirdWriter().Firmware(0, Bytes(8, 1)).Raw(0x01, Bytes(10, 2), 1000).BlockArea(),
                 false, 1, "BIRDFILE: Block parsing mismatch in data size. (15 bytes remaining)\n"},
        ScanCase{"length_near_4g", BirdWriter().Raw(0x04, Bytes(64, ' '), 0xFFFFFFF0u).BlockArea(),
                 false, 0, "BIRDFILE: Block parsing mismatch in data size. (69 bytes remaining)\n"},
        ScanCase{"no_checksum", BirdWriter().Firmware(0, Bytes(8, 1)).OmitChecksum().BlockArea(),
                 false, 1, "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"},
        ScanCase{"short_checksum", Bytes{0, 0, 0, 0, 0xAB, 0xCD}, false, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (-2 bytes remaining)\n"},
        ScanCase{"count_only", Bytes{0, 0, 0, 0}, false, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"},
        ScanCase{"two_bytes", Bytes{0, 0}, false, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (-6 bytes remaining)\n"},
        ScanCase{"nothing", Bytes(), false, 0,
                 "BIRDFILE: Block parsing mismatch in data size. (-8 bytes remaining)\n"}),
    [](const ::testing::TestParamInfo<ScanCase>& info) { return info.param.name; });

TEST(BirdFileLoad, ScanMismatchStillLoadsTheBlocksFound) {
    TempDir dir;
    BirdWriter w;
    w.Firmware(0, Bytes(8, 1)).Info(1, "v", 2, "m").ReportedCount(3);
    LogCapture log;
    BirdFile file = LoadBytes(dir, w.FileBytes());
    EXPECT_EQ(file.blockCount(), 2u);
    EXPECT_NE(log.text().find("(2 != 3)"), std::string::npos);
}

TEST(BirdFileLoad, LogsBlockTableAndInfoFields) {
    TempDir dir;
    BirdWriter w;
    w.Raw(0x24, Text("12345           1.2.3           0012ABCD        USBHub3p        "))
        .Checksum(0x01020304);
    LogCapture log;
    BirdFile file = LoadBytes(dir, w.FileBytes());
    const std::string text = log.text();
    EXPECT_NE(text.find("BIRDFILE:\t\t File reports 1 blocks\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t 04   01   64\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t \t[1.2.3           ]\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t File checksum 01020304\n"), std::string::npos);
}

// ---- info block readers ----

struct InfoCase {
    const char* name;
    std::string info;  // the block contents
    uint32_t build;
    std::string version;
    uint32_t serial;
};

void PrintTo(const InfoCase& c, std::ostream* os) {
    *os << c.name;
}

class InfoTest : public ::testing::TestWithParam<InfoCase> {};

TEST_P(InfoTest, ReadsFields) {
    TempDir dir;
    BirdWriter w;
    w.Raw(BirdWriter::INFO, Text(GetParam().info));
    // Scanned from an exact-size buffer: a short info block must not be read past its end.
    ExactScan scan(w.BlockArea());
    EXPECT_EQ(scan.file.GetBuild(), GetParam().build);
    EXPECT_EQ(scan.file.GetVersion(), GetParam().version);
    EXPECT_EQ(scan.file.GetSerialNumber(), GetParam().serial);
    EXPECT_TRUE(scan.file.ValidateSerialNumber(GetParam().serial));
}

static std::string Info4(const std::string& a, const std::string& b, const std::string& c,
                         const std::string& d) {
    auto pad = [](std::string s) {
        s.resize(16, ' ');
        return s;
    };
    return pad(a) + pad(b) + pad(c) + pad(d);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, InfoTest,
    ::testing::Values(
        InfoCase{"plain", Info4("12345", "1.2.3", "0012ABCD", "ABC"), 12345, "1.2.3", 0x0012ABCD},
        InfoCase{"version_cut_at_space", Info4("1", "1.2 beta", "1", "ABC"), 1, "1.2", 1},
        InfoCase{"version_fifteen_chars", Info4("1", "0123456789ABCDEF", "1", "M"), 1,
                 "0123456789ABCDE", 1},
        InfoCase{"serial_eight_digits_only", Info4("1", "v", "0012ABCDEF", "M"), 1, "v",
                 0x0012ABCD},
        InfoCase{"serial_stops_at_non_hex", Info4("1", "v", "12G4", "M"), 1, "v", 0x12},
        InfoCase{"build_not_a_number", Info4("abc", "v", "FFFFFFFF", "M"), 0, "v", 0xFFFFFFFF},
        InfoCase{"short_block", std::string("42").append(14, ' ') + "1.", 42, "1.", 0},
        InfoCase{"empty_block", "", 0, "", 0}),
    [](const ::testing::TestParamInfo<InfoCase>& info) { return info.param.name; });

TEST(BirdFileInfo, BuildReadsAtMostFifteenCharacters) {
    BirdWriter w;
    w.Info("1234567890123456", "v", "1", "M");
    ExactScan scan(w.BlockArea());
    EXPECT_EQ(scan.file.GetBuild(), uint32_t(123456789012345ull));
}

TEST(BirdFileInfo, WithoutInfoBlockReadersGiveNothing) {
    BirdWriter w;
    w.Firmware(0, Bytes(16, 0));
    ExactScan scan(w.BlockArea());
    EXPECT_EQ(scan.file.GetBuild(), 0u);
    EXPECT_EQ(scan.file.GetSerialNumber(), 0u);
    EXPECT_EQ(scan.file.GetVersion(), "");
    EXPECT_FALSE(scan.file.ValidateModel(""));
    EXPECT_FALSE(scan.file.ValidateSerialNumber(1));
}

struct ModelCase {
    std::string field;
    std::string given;
    bool matches;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
    *os << c.field << " / " << c.given;
}

class ModelTest : public ::testing::TestWithParam<ModelCase> {};

TEST_P(ModelTest, GivenTextMustBeAPrefixOfTheTrimmedModel) {
    BirdWriter w;
    w.Info("1", "v", "1", GetParam().field);
    ExactScan scan(w.BlockArea());
    LogCapture log;
    EXPECT_EQ(scan.file.ValidateModel(GetParam().given), GetParam().matches);
    if (GetParam().matches) {
        EXPECT_NE(log.text().find("Model matches model number ([" + GetParam().field + "] == [" +
                                  GetParam().given + "])\n"),
                  std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Models, ModelTest,
    ::testing::Values(ModelCase{"ABC", "ABC", true}, ModelCase{"ABC", "AB", true},
                      ModelCase{"ABC", "", true}, ModelCase{"ABC", "ABCD", false},
                      ModelCase{"ABC", "abc", false}, ModelCase{"ABC", "ABC ", false},
                      ModelCase{"USB Hub 3", "USB Hub", true},
                      ModelCase{"0123456789ABCDEF", "0123456789ABCDEF", true},
                      ModelCase{"0123456789ABCDEF", "0123456789ABCDEFG", false}));

TEST(BirdFileInfo, LoaderStartAddress) {
    EXPECT_EQ(
        ExactScan(BirdWriter().Firmware(0, Bytes(4, 0)).BlockArea()).file.GetLoaderStartAddress(),
        0x20000400u);
    EXPECT_EQ(ExactScan(BirdWriter().Raw(BirdWriter::LOADER_START, Bytes{0x20, 0}).BlockArea())
                  .file.GetLoaderStartAddress(),
              0x20000400u);
    EXPECT_EQ(
        ExactScan(BirdWriter().LoaderStart(0x60000000).BlockArea()).file.GetLoaderStartAddress(),
        0x60000000u);
}

// ---- serial number ----

struct SerialCase {
    const char* name;
    uint32_t address;           // firmware block address
    uint32_t serialOffset;      // 0: none
    uint32_t descriptorOffset;  // 0: none
    bool result;
    bool wordWritten;
    bool descriptorWritten;
};

void PrintTo(const SerialCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplaceSerialTest : public ::testing::TestWithParam<SerialCase> {};

TEST_P(ReplaceSerialTest, PatchesOnlyInsideTheImage) {
    const SerialCase& c = GetParam();
    TempDir dir;
    Bytes image(256);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(0x80 | (i & 0x7F));
    BirdWriter w;
    w.Firmware(c.address, image).SerialOffsets(c.serialOffset, c.descriptorOffset);
    BirdFile file = LoadBytes(dir, w.FileBytes());
    LogCapture log;
    EXPECT_EQ(file.ReplaceSerialNumber(0x0012ABCD), c.result);

    const uint8_t* out = file.blocks()[0].data + 4;
    Bytes expected = image;
    if (c.wordWritten) {
        const size_t at = c.serialOffset - c.address;
        expected[at] = 0xCD;
        expected[at + 1] = 0xAB;
        expected[at + 2] = 0x12;
        expected[at + 3] = 0x00;
        EXPECT_NE(log.text().find("BIRDFILE: updating serial number from " +
                                  [&] {
                                      char t[9];
                                      snprintf(t, sizeof t, "%08X", LE32(image.data() + at));
                                      return std::string(t);
                                  }() +
                                  " ==> 0012ABCD\n"),
                  std::string::npos);
    }
    if (c.descriptorWritten) {
        const size_t at = c.descriptorOffset - c.address;
        const char* text = "0012ABCD";
        for (size_t i = 0; i < 8; ++i) expected[at + 2 * i] = uint8_t(text[i]);
    }
    EXPECT_EQ(Bytes(out, out + 256), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, ReplaceSerialTest,
    ::testing::Values(SerialCase{"word_at_last_fit", 0, 0xFC, 0, true, true, false},
                      SerialCase{"word_one_past", 0, 0xFD, 0, true, false, false},
                      SerialCase{"word_outside", 0, 0x200, 0, true, false, false},
                      SerialCase{"descriptor_inside", 0, 0, 0x20, true, false, true},
                      SerialCase{"descriptor_at_last_fit", 0, 0, 0xF0, true, false, true},
                      SerialCase{"descriptor_one_past", 0, 0, 0xF1, false, false, false},
                      SerialCase{"both", 0, 0x10, 0x40, true, true, true},
                      SerialCase{"neither", 0, 0, 0, false, false, false},
                      SerialCase{"image_at_4000", 0x4000, 0x40FC, 0x4080, true, true, true},
                      SerialCase{"below_image", 0x4000, 0x3FFE, 0x3FF8, true, false, false},
                      SerialCase{"wraps_32_bits", 0xFFFFFF00, 0xFFFFFFFE, 0, true, false, false}),
    [](const ::testing::TestParamInfo<SerialCase>& info) { return info.param.name; });

TEST(BirdFileSerial, PatchesTheFirmwareBlockHoldingTheOffset) {
    TempDir dir;
    BirdWriter w;
    w.Firmware(0, Bytes(64, 0)).Firmware(0x1000, Bytes(64, 0)).Loader(0x1000, Bytes(64, 0));
    w.SerialOffsets(0x1010, 0);
    BirdFile file = LoadBytes(dir, w.FileBytes());
    EXPECT_TRUE(file.ReplaceSerialNumber(0xA1B2C3D4));
    EXPECT_EQ(LE32(file.blocks()[1].data + 4 + 0x10), 0xA1B2C3D4u);
    EXPECT_EQ(Bytes(file.blocks()[0].data + 4, file.blocks()[0].data + 68), Bytes(64, 0));
    EXPECT_EQ(Bytes(file.blocks()[2].data + 4, file.blocks()[2].data + 68), Bytes(64, 0));
}

TEST(BirdFileSerial, FirmwareBlockShorterThanItsAddressIsSkipped) {
    BirdWriter w;
    w.Raw(BirdWriter::FIRMWARE, Bytes{0, 0}).SerialOffsets(0x1, 0x1);
    ExactScan scan(w.BlockArea());
    ASSERT_TRUE(scan.file.FindSerialNumberOffsets());
    EXPECT_FALSE(scan.file.ReplaceSerialNumber(1));
    EXPECT_TRUE(scan.file.ReplaceVectorChecksum());
    const uint32_t id[4] = {1, 2, 3, 4};
    EXPECT_TRUE(scan.file.DecodeFirmwareBlocks(id));
}

TEST(BirdFileSerial, OffsetsFromFirstSerialOffsetsBlock) {
    TempDir dir;
    LogCapture log;
    BirdFile file = LoadBytes(
        dir, BirdWriter().SerialOffsets(0x100, 0x200).SerialOffsets(0x300, 0x400).FileBytes());
    EXPECT_EQ(file.serialNumberOffset(), 0x100u);
    EXPECT_EQ(file.descriptorOffset(), 0x200u);
    EXPECT_NE(log.text().find("BIRDFILE: Offsets: Serial number: 256, Descriptor: 512\n"),
              std::string::npos);
    // A device-specific image has no offsets.
    BirdFile specific = LoadBytes(dir, BirdWriter().Firmware(0, Bytes(8, 0)).FileBytes(), "s.bird");
    EXPECT_FALSE(specific.hasSerialOffsets());
    EXPECT_FALSE(specific.FindSerialNumberOffsets());
}

// ---- vector checksum ----

TEST(BirdFileVector, RewritesWordSevenOfImagesAtAddressZero) {
    TempDir dir;
    Bytes image(64, 0);
    const uint32_t words[8] = {0x10002000, 0x00000101, 0x00000111, 0x00000121,
                               0x00000131, 0xDEADBEEF, 0x00000151, 0x12345678};
    for (size_t w = 0; w < 8; ++w) {
        for (size_t b = 0; b < 4; ++b) image[4 * w + b] = uint8_t(words[w] >> (8 * b));
    }
    BirdWriter w;
    w.Firmware(0, image).Firmware(0x8000, image);
    BirdFile file = LoadBytes(dir, w.FileBytes());
    LogCapture log;
    EXPECT_TRUE(file.ReplaceVectorChecksum());
    uint32_t sum = 0;
    for (size_t i : {0, 1, 2, 3, 4, 6}) sum += words[i];
    const uint32_t expected = ~sum + 1;
    EXPECT_EQ(LE32(file.blocks()[0].data + 4 + 28), expected);
    uint32_t total = 0;
    for (size_t i = 0; i < 8; ++i) {
        if (i != 5) total += LE32(file.blocks()[0].data + 4 + 4 * i);
    }
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(LE32(file.blocks()[1].data + 4 + 28), 0x12345678u);  // not at address 0
    char line[96];
    snprintf(line, sizeof line, "BIRDFILE: updating vector checksum from 12345678 ==> %08X\n",
             expected);
    EXPECT_NE(log.text().find(line), std::string::npos);
}

// ---- unscrambling ----

namespace {
// The scrambling an LPC recovery image arrives with, written from its definition: each output
// byte of the decoder is input XOR key XOR the previous output, so the encoder XORs each plain
// byte with the key and the previous plain byte.
Bytes Scramble(const Bytes& plain, const uint32_t id[4]) {
    uint8_t key[16];
    for (int i = 0; i < 16; ++i) key[i] = uint8_t(id[i / 4] >> (8 * (3 - i % 4)));
    Bytes out(plain.size());
    uint8_t previousPlain = 0;
    for (size_t j = 0; j < plain.size(); ++j) {
        out[j] = uint8_t(plain[j] ^ key[j % 16] ^ previousPlain);
        previousPlain = plain[j];
    }
    return out;
}
}  // namespace

TEST(BirdFileDecode, RestoresEveryFirmwareBlockAndLeavesOthers) {
    TempDir dir;
    const uint32_t id[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    const Bytes first = PseudoRandomBytes(1000, 1), second = PseudoRandomBytes(37, 2);
    const Bytes loader = PseudoRandomBytes(100, 3);
    BirdWriter w;
    w.Firmware(0, Scramble(first, id))
        .Loader(0x1000, loader)
        .Firmware(0x8000, Scramble(second, id));
    BirdFile file = LoadBytes(dir, w.FileBytes());
    EXPECT_TRUE(file.DecodeFirmwareBlocks(id));
    const BirdBlock& a = file.blocks()[0];
    const BirdBlock& l = file.blocks()[1];
    const BirdBlock& b = file.blocks()[2];
    EXPECT_EQ(Bytes(a.data + 4, a.data + a.length), first);
    EXPECT_EQ(Bytes(b.data + 4, b.data + b.length), second);  // key and chain restart per block
    EXPECT_EQ(Bytes(l.data + 4, l.data + l.length), loader);
    EXPECT_EQ(a.address, 0u);  // the address word is not scrambled
    // A second pass does not give the input back.
    EXPECT_TRUE(file.DecodeFirmwareBlocks(id));
    EXPECT_NE(Bytes(a.data + 4, a.data + a.length), first);
}

TEST(BirdFileDecode, WrongChipGivesOtherBytes) {
    TempDir dir;
    const uint32_t id[4] = {1, 2, 3, 4}, other[4] = {1, 2, 3, 5};
    const Bytes plain = PseudoRandomBytes(64, 9);
    BirdFile file = LoadBytes(dir, BirdWriter().Firmware(0, Scramble(plain, id)).FileBytes());
    file.DecodeFirmwareBlocks(other);
    EXPECT_NE(Bytes(file.blocks()[0].data + 4, file.blocks()[0].data + 68), plain);
}

// ---- move ----

TEST(BirdFileMove, BlocksStayValidAfterMove) {
    TempDir dir;
    BirdWriter w;
    w.Firmware(0, PseudoRandomBytes(500, 4)).Info(99, "2.0", 0x11, "Model");
    BirdFile target;
    EXPECT_EQ(target.blockCount(), 0u);
    const std::string path = dir / "m.bird";
    WriteBytes(path, w.FileBytes());
    {
        BirdFile loaded(path);
        const uint8_t* contents = loaded.blocks()[0].data;
        target = std::move(loaded);
        EXPECT_EQ(loaded.blockCount(), 0u);
        EXPECT_TRUE(loaded.blocks().empty());
        EXPECT_EQ(loaded.data(), nullptr);
        EXPECT_EQ(target.blocks()[0].data, contents);
    }
    EXPECT_EQ(target.path(), path);
    EXPECT_EQ(target.blockCount(), 2u);
    EXPECT_EQ(target.GetBuild(), 99u);
    const Bytes expected = PseudoRandomBytes(500, 4);
    EXPECT_EQ(Bytes(target.blocks()[0].data + 4, target.blocks()[0].data + 504), expected);
    BirdFile constructed(std::move(target));
    EXPECT_EQ(constructed.GetVersion(), "2.0");
    EXPECT_EQ(target.blockCount(), 0u);
}

// ---- dump and search ----

TEST(BirdFileDump, PrintsFiftyBytesPerRowWithText) {
    TempDir dir;
    Bytes contents(52);
    for (size_t i = 0; i < contents.size(); ++i) contents[i] = uint8_t('A' + i % 26);
    contents[1] = 0x01;
    BirdFile file =
        LoadBytes(dir, BirdWriter().Raw(0x07, contents).Raw(0x08, Bytes{1}).FileBytes());
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    EXPECT_TRUE(file.DumpBlocks(7, out));
    fclose(out);
    std::string expected = "BIRDFILE: BLOCK DUMP [" + (dir / "f.bird") + "]\n \r\n000000: ";
    std::string printable;
    for (size_t i = 0; i < 52; ++i) {
        if (i == 50) {
            expected += " " + printable + "\r\n000050: ";
            printable.clear();
        }
        char hex[4];
        snprintf(hex, sizeof hex, "%02X ", contents[i]);
        expected += hex;
        printable += i == 1 ? ' ' : char(contents[i]);
    }
    expected += " " + printable + "\n\n";
    EXPECT_EQ(std::string(text, size), expected);
    free(text);
}

TEST(BirdFileSearch, FindsPatternInFirmwareBlocksOnly) {
    TempDir dir;
    Bytes image(40, 0);
    image[10] = 'X', image[11] = 'Y', image[36] = 'X', image[37] = 'Y';
    BirdWriter w;
    w.Firmware(0, image).Loader(0, Bytes{'X', 'Y'});
    BirdFile file = LoadBytes(dir, w.FileBytes());
    LogCapture log;
    const uint8_t xy[] = {'X', 'Y'}, zz[] = {'Z', 'Z'};
    EXPECT_TRUE(file.ValidateData(xy, 2));
    const std::string text = log.text();
    EXPECT_NE(text.find("BIRDFILE: looking for data pattern in [" + (dir / "f.bird") + "]\n"),
              std::string::npos);
    EXPECT_NE(text.find("Found data at 14\n"), std::string::npos);  // contents offset
    EXPECT_NE(text.find("Found data at 40\n"), std::string::npos);
    EXPECT_EQ(text.find("Found data at 4\n"), std::string::npos);  // the loader's copy
    EXPECT_FALSE(file.ValidateData(zz, 2));
    EXPECT_FALSE(file.ValidateData(xy, 0));
    const Bytes tooLong(100, 0);
    EXPECT_FALSE(file.ValidateData(tooLong.data(), tooLong.size()));
}

TEST(BirdFileLoad, RefusesFileTooLargeToInflateWithinCeiling) {
    TempDir dir;
    const std::string path = dir / "huge.bird";
    WriteText(path, std::string("bird\x01\x01", 6));
    ASSERT_EQ(truncate(path.c_str(), off_t(BirdFile::MAX_FILE_SIZE + 1)), 0);  // sparse
    LogCapture log;
    EXPECT_THROW(BirdFile{path}, std::runtime_error);
    EXPECT_NE(log.text().find("BIRDFILE: Error (14) reading " + path + "\n"), std::string::npos);
}
