#include "server/ServerReply.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

TEST(ServerReply, FirstLineMustBeginWithOk) {
    struct Case {
        const char* body;
        bool ok;
    } const cases[] = {
        {"", false},                                              // no first line at all
        {"\n\n\n", false},                                        // only empty lines
        {"o", false},                                             // shorter than "ok"
        {"ok", true},      {"ok\n", true},     {"okay\n", true},  // compared over two characters
        {"ok\r\n", true},  {"\n\nok\n", true},                    // empty lines are skipped
        {"OK\n", false},   {" ok\n", false},   {"error\nok\n", false}, {"no\nok\n", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ServerReply::IsOk(c.body), c.ok) << "[" << c.body << "]";
}

TEST(ServerReply, QueryBuildTakesLinesTwoAndThree) {
    struct Case {
        const char* body;
        bool ok;
        const char* build;
        const char* firmware;
    } const cases[] = {
        {"ok\n101\nHV-1\n", true, "101", "HV-1"},
        {"ok", true, "old", "oldfw"},  // absent lines leave the outputs unchanged
        {"ok\n101\n", true, "101", "oldfw"},
        {"ok\n\n\n101\n\nHV-1", true, "101", "HV-1"},
        {"ok\r\n101\r\nHV-1\r\n", true, "101\r", "HV-1"},  // line 2 ends at "\n" only
        {"ok\n101\n\r\rHV-1\rextra\n", true, "101", "HV-1"},
        {"error\n101\nHV-1\n", false, "old", "oldfw"},
        {"", false, "old", "oldfw"},
    };
    for (const Case& c : cases) {
        std::string build = "old";
        std::string firmware = "oldfw";
        EXPECT_EQ(ServerReply::QueryBuild(c.body, build, firmware), c.ok) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
        EXPECT_EQ(firmware, c.firmware) << c.body;
    }
}

TEST(ServerReply, GetBuildTakesLineTwoAsItIs) {
    struct Case {
        const char* body;
        bool ok;
        const char* payload;
    } const cases[] = {
        {"ok\nZm9v\n", true, "Zm9v"},           {"ok\nZm9v", true, "Zm9v"},
        {"ok\nZm9v\r\n", true, "Zm9v\r"},  // nothing else is stripped
        {"ok\n Zm9v \nZm9v\n", true, " Zm9v "}, {"ok\n", true, "kept"},
        {"okay\n\nZm9v", true, "Zm9v"},         {"fail\nZm9v\n", false, "kept"},
    };
    for (const Case& c : cases) {
        std::string payload = "kept";
        EXPECT_EQ(ServerReply::GetBuild(c.body, payload), c.ok) << c.body;
        EXPECT_EQ(payload, c.payload) << c.body;
    }
}

TEST(ServerReply, GetBuildListSplitsEntriesAtSemicolon) {
    using Map = std::map<std::string, std::string>;
    struct Case {
        const char* body;
        bool ok;
        Map builds;
    } const cases[] = {
        {"ok\n101;1.2.3\n99;1.10.0\nx\n", true, {{"101", "1.2.3"}, {"99", "1.10.0"}}},
        {"ok\n", true, {}},
        {"ok\n12\nab\n", true, {}},          // shorter than 3 characters
        {"ok\n123\n", true, {{"123", ""}}},  // no ";": empty version
        {"ok\n123;\n", true, {{"123", ""}}},
        {"ok\r\n101;1.2.3\r\n99;1.10.0\r\n", true, {{"101", "1.2.3"}, {"99", "1.10.0"}}},
        {"ok\n101;1.2.3;extra\n", true, {{"101", "1.2.3"}}},
        {"ok\n101;;1.2.3\n", true, {{"101", "1.2.3"}}},  // runs of separators count as one
        {"ok\n;;;\n", true, {}},                         // no first part
        {"ok\n101;1.2.3\n101;9.9.9\n", true, {{"101", "1.2.3"}}},  // the first version stays
        {"error\n101;1.2.3\n", false, {{"kept", "1"}}},
        {"", false, {{"kept", "1"}}},
    };
    for (const Case& c : cases) {
        Map builds = {{"kept", "1"}};
        if (c.ok) builds.clear();  // the request clears the map before it asks
        EXPECT_EQ(ServerReply::GetBuildList(c.body, builds), c.ok) << c.body;
        EXPECT_EQ(builds, c.builds) << c.body;
    }
}

TEST(ServerReply, GetRecoveryInfoReadsHexSerialAndBaseZeroBuild) {
    struct Case {
        const char* body;
        bool ok;
        uint32_t serial;
        uint32_t build;
    } const cases[] = {
        {"ok\n12AB\n0x1F\n", true, 0x12AB, 31},
        {"ok\n12AB\n010\n", true, 0x12AB, 8},  // a leading 0 is octal
        {"ok\n12AB\n31\n", true, 0x12AB, 31},
        {"ok\n0x0012abcd\n99528558\n", true, 0x0012ABCD, 99528558},
        {"ok\n12AB\n", true, 0x12AB, 7},  // absent line: output unchanged
        {"ok\n", true, 5, 7},
        {"ok\nzz\nqq\n", true, 0, 0},  // not numbers: strtoul reads 0
        {"error\n12AB\n31\n", false, 5, 7},
        {"", false, 5, 7},
    };
    for (const Case& c : cases) {
        uint32_t serial = 5;
        uint32_t build = 7;
        EXPECT_EQ(ServerReply::GetRecoveryInfo(c.body, serial, build), c.ok) << c.body;
        EXPECT_EQ(serial, c.serial) << c.body;
        EXPECT_EQ(build, c.build) << c.body;
    }
}

TEST(ReplyTokenizer, StopsAtTheEndOfTheTextAndSkipsSeparatorRuns) {
    ReplyTokenizer tokens("\n\na\n\nbc\n");
    std::string_view token;
    ASSERT_TRUE(tokens.Next("\n", token));
    EXPECT_EQ(token, "a");
    ASSERT_TRUE(tokens.Next("\n", token));
    EXPECT_EQ(token, "bc");
    EXPECT_FALSE(tokens.Next("\n", token));
    EXPECT_FALSE(tokens.Next("\n", token));
    ReplyTokenizer none(nullptr);
    EXPECT_FALSE(none.Next("\n", token));
}

}  // namespace
