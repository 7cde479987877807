#include "api/aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "api/aDefs.h"

namespace {

TEST(aVersion, Pack) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
    };
    const Case cases[] = {
        {2, 14, 7, 0x2E000007},      {2, 15, 0, 0x2F020F00}, {3, 0, 1, 0x2F030001},
        {1, 10, 255, 0x1A0000FF},    {0, 0, 0, 0x00000000},  {2, 12, 1, 0x2C000001},
        {255, 255, 255, 0x2FFFFFFF},
    };
    for (const Case& c : cases)
        EXPECT_EQ(aVersion_Pack(c.major, c.minor, c.patch), c.packed)
            << int(c.major) << "." << int(c.minor) << "." << int(c.patch);
}

TEST(aVersion, Parse) {
    struct Case {
        uint32_t packed;
        bool legacy;
        int major, minor, patch;
        const char* text;
    };
    const Case cases[] = {
        {0x2F020F00, false, 0x2F02, 0x2F020F, 0, "2.15.0"},
        {0x2E000007, true, 2, 14, 7, "2.14.7"},
        {0x1A012345, true, 1, 10, 0x012345, "1.10.74565"},
        {0x2F030001, false, 0x2F03, 0x2F0300, 1, "3.0.1"},
        // A top nibble of 3 or more is never legacy: major is packed >> 16, printed by its low
        // byte.
        {0x3F020F00, false, 0x3F02, 0x3F020F, 0, "2.15.0"},
        {0x30050607, false, 0x3005, 0x300506, 7, "5.6.7"},
        {0x0, true, 0, 0, 0, "0.0.0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
        EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
        EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
        EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
        char buf[32];
        EXPECT_EQ(aVersion_ParseString(c.packed, buf, sizeof buf),
                  static_cast<int>(strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
    // Like snprintf: a short buffer is cut and the full length reported.
    char small[4];
    EXPECT_EQ(aVersion_ParseString(0x2F020F00, small, sizeof small), 6);
    EXPECT_STREQ(small, "2.1");
}

TEST(aVersion, RoundTripThroughPack) {
    for (int major = 0; major < 6; ++major)
        for (int minor : {0, 1, 9, 14, 15, 99, 255})
            for (int patch : {0, 1, 200, 255}) {
                if (major < 2 && minor > 15) continue;  // legacy keeps 4 bits of minor
                uint32_t packed = aVersion_Pack(major, minor, patch);
                SCOPED_TRACE(packed);
                EXPECT_EQ(aVersion_ParseMajor(packed) & 0xFF, major);
                EXPECT_EQ(aVersion_ParseMinor(packed) & 0xFF, minor);
                EXPECT_EQ(aVersion_ParsePatch(packed), patch);
            }
}

TEST(aVersion, IsAtLeastCompare) {
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 12, 1, 2, 12, 1));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 12, 1, 2, 12, 2));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(3, 0, 0, 2, 99, 99));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(2, 9, 9, 2, 10, 4));
    EXPECT_TRUE(aVersion_IsAtLeastCompare(2, 10, 4, 2, 10, 4));
    EXPECT_FALSE(aVersion_IsAtLeastCompare(1, 255, 255, 2, 0, 0));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 12, 1));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 200));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 12, 2));
}

TEST(aVersion, LibraryVersion) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 12);
    EXPECT_EQ(aVersion_GetPatch(), 1);
    const char* text = aVersion_GetString();
    EXPECT_STREQ(text, "2.12.1");
    EXPECT_EQ(aVersion_GetString(), text);
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));
    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    aVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    aVersion_DestroyFeatureList(&list);
    aVersion_DestroyFeatureList(nullptr);
}

TEST(aDefs, ModelNames) {
    std::set<std::string> names;
    for (uint32_t model :
         {4u, 5u, 13u, 14u, 15u, 16u, 17u, 18u, 19u, 20u, 21u, 22u, 23u, 24u, 25u, 26u, 27u}) {
        std::string name = aDefs_GetModelName(model);
        EXPECT_NE(name, "Unknown") << model;
        EXPECT_LE(name.size(), 12u) << model;  // fits the device listing's name column
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 17u);
    EXPECT_STREQ(aDefs_GetModelName(4), "HV-Hub4");
    EXPECT_STREQ(aDefs_GetModelName(5), "HV-Ctrl5");
    for (uint32_t model : {0u, 1u, 3u, 6u, 12u, 28u, 255u, 0x104u, 0xFFFFFFFFu})
        EXPECT_STREQ(aDefs_GetModelName(model), "Unknown") << model;
}

}  // namespace
