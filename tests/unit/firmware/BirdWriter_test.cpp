// BirdWriter and mkbird: the fixture maker must write what the reader expects.
#include "BirdWriter.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "FirmwareTestSupport.h"
#include "firmware/BirdFile.h"

TEST(BirdWriter, DescriptionGivesTheSameFileAsTheCalls) {
    TempDir dir;
    WriteBytes(dir / "loader.bin", Bytes{1, 2, 3, 4, 5});
    const std::string description =
        "# a generic image\n"
        "loader 0x10000000 flags=3 file=loader.bin\n"
        "firmware 0 image=0x2F010203:4711:64\n"
        "serial-offsets 0x20 0x30\n"
        "info 4711|1.2 beta|00000000|USB Hub\n"
        "loader-start 0x20000400\n"
        "block 0xE7 hex=00FF\n"
        "block 0x01 length=99 fill=3:7\n"
        "count 9\n"
        "checksum 0x12345678\n"
        "trailing hex=AABB\n";
    BirdWriter parsed;
    std::string error;
    ASSERT_TRUE(ParseBirdDescription(description, dir.path(), &parsed, &error)) << error;
    BirdWriter called;
    called.Loader(0x10000000, Bytes{1, 2, 3, 4, 5}, 3)
        .Firmware(0, MakeTestFirmwareImage(0x2F010203, 4711, 64))
        .SerialOffsets(0x20, 0x30)
        .Info("4711", "1.2 beta", "00000000", "USB Hub")
        .LoaderStart(0x20000400)
        .Raw(0xE7, Bytes{0, 0xFF})
        .Raw(0x01, Bytes(3, 7), 99)
        .ReportedCount(9)
        .Checksum(0x12345678)
        .Trailing(Bytes{0xAA, 0xBB});
    EXPECT_EQ(parsed.BlockArea(), called.BlockArea());
    EXPECT_EQ(parsed.FileBytes(), called.FileBytes());
}

TEST(BirdWriter, DescriptionErrorsNameTheLine) {
    const char* bad[] = {"firmware zero fill=4\n",           "info a|b|c\n",
                         "loader 0 flags=9 fill=1\n",        "block 0x100 fill=1\n",
                         "firmware 0 file=/nonexistent/x\n", "frobnicate\n",
                         "firmware 0 image=1:2:3\n",         "trailing hex=ABC\n"};
    for (const char* text : bad) {
        BirdWriter w;
        std::string error;
        EXPECT_FALSE(ParseBirdDescription(std::string("# ok\n") + text, "", &w, &error)) << text;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }
}

TEST(BirdWriter, DefaultChecksumIsCrcAndReaderAcceptsTheFile) {
    TempDir dir;
    BirdWriter w;
    w.Firmware(0x4000, PseudoRandomBytes(1000, 5), 1).Info(1, "v", 2, "m");
    const Bytes area = w.BlockArea();
    WriteBytes(dir / "f.bird", w.FileBytes());
    EXPECT_TRUE(BirdFile::VerifyFile(dir / "f.bird"));
    BirdFile file(dir / "f.bird");
    EXPECT_EQ(file.dataSize(), area.size());
    EXPECT_EQ(Bytes(file.data(), file.data() + file.dataSize()), area);
    const uint32_t last = (uint32_t(area[area.size() - 4]) << 24) |
                          (uint32_t(area[area.size() - 3]) << 16) |
                          (uint32_t(area[area.size() - 2]) << 8) | area[area.size() - 1];
    EXPECT_EQ(file.checksum(), last);
}

TEST(TestFirmwareImage, HeaderRoundTrip) {
    const Bytes image = MakeTestFirmwareImage(0x2F020C01, 99528558, 4096);
    ASSERT_EQ(image.size(), 4096u);
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 12),
              (Bytes{'H', 'V', 'F', 'W', 0x2F, 0x02, 0x0C, 0x01, 0x05, 0xEE, 0xAF, 0x6E}));
    uint32_t version = 0, build = 0;
    ASSERT_TRUE(ReadTestFirmwareHeader(image.data(), image.size(), &version, &build));
    EXPECT_EQ(version, 0x2F020C01u);
    EXPECT_EQ(build, 99528558u);
    EXPECT_FALSE(ReadTestFirmwareHeader(image.data(), 11, &version, &build));
    Bytes other = image;
    other[0] = 'X';
    EXPECT_FALSE(ReadTestFirmwareHeader(other.data(), other.size(), &version, &build));
}

TEST(Mkbird, WritesFilesAndImagesFromTheCommandLine) {
    TempDir dir;
    const std::string mkbird = std::string(HV_BINARY_DIR) + "/tools/mkbird/mkbird";
    WriteText(dir / "d.txt", "firmware 0 image=0x01020003:77:256\ninfo 77|1.2.3|0012ABCD|M\n");
    ASSERT_EQ(system((mkbird + " " + (dir / "d.txt") + " " + (dir / "77.bird")).c_str()), 0);
    BirdFile file(dir / "77.bird");
    EXPECT_EQ(file.GetBuild(), 77u);
    uint32_t version = 0, build = 0;
    ASSERT_TRUE(ReadTestFirmwareHeader(file.blocks()[0].data + 4, file.blocks()[0].length - 4,
                                       &version, &build));
    EXPECT_EQ(version, 0x01020003u);

    ASSERT_EQ(system((mkbird + " --area " + (dir / "d.txt") + " " + (dir / "77.area")).c_str()), 0);
    EXPECT_EQ(ReadText(dir / "77.area").size(), file.dataSize());

    ASSERT_EQ(system((mkbird + " --image 5 6 20 " + (dir / "img")).c_str()), 0);
    EXPECT_EQ(ReadText(dir / "img").size(), 20u);

    WriteText(dir / "bad.txt", "nonsense\n");
    EXPECT_NE(
        system(
            (mkbird + " " + (dir / "bad.txt") + " " + (dir / "x.bird") + " 2>/dev/null").c_str()),
        0);
    EXPECT_NE(system((mkbird + " 2>/dev/null").c_str()), 0);
}
