// The debug channel: package filtering, the line length limit and whole-line writes from threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/Log.h"

namespace {

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Log::package_bitmask = 0;
        out_ = tmpfile();
        ASSERT_NE(nullptr, out_);
        Log::SetOutput(out_);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::package_bitmask = 0;
        if (out_) fclose(out_);
    }
    std::string written() {
        fflush(out_);
        rewind(out_);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, out_)) > 0) text.append(buffer, n);
        return text;
    }
    FILE* out_ = nullptr;
};

TEST_F(LogTest, PackageZeroAlwaysOthersOnlyWhenActive) {
    Log::log(0, "always %d\n", 1);
    Log::log(DEBUG_Network_FIRM, "firm before\n");
    Log::ActivatePackage(DEBUG_Network_FIRM | DEBUG_APP);
    Log::log(DEBUG_Network_FIRM, "firm %s\n", "on");
    Log::log(DEBUG_Network_FIRM | DEBUG_Updater, "either bit\n");
    Log::log(DEBUG_Updater, "updater off\n");
    Log::DeactivatePackage(DEBUG_Network_FIRM);
    Log::log(DEBUG_Network_FIRM, "firm after\n");
    Log::log(DEBUG_APP, "app");  // nothing is added to the caller's text
    EXPECT_EQ("always 1\nfirm on\neither bit\napp", written());
}

TEST_F(LogTest, PackageNothingUsesStaysSilent) {
    Log::ActivatePackage(DEBUG_Network_Legacy);
    Log::log(DEBUG_Network, "network\n");
    Log::log(DEBUG_ServerComm, "server\n");
    EXPECT_EQ("", written());
}

TEST_F(LogTest, LongLinesAreCutTo2047Characters) {
    std::string text(5000, 'y');
    Log::log(0, "%s", text.c_str());
    EXPECT_EQ(std::string(2047, 'y'), written());
}

TEST_F(LogTest, NoOutputStreamDropsLines) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(out_);
    EXPECT_EQ("", written());
}

TEST_F(LogTest, LinesFromTwoThreadsStayWhole) {
    const int kLines = 300;
    auto writer = [](char c) {
        std::string body(200, c);
        for (int i = 0; i < kLines; ++i) Log::log(0, "%s\n", body.c_str());
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    a.join();
    b.join();
    std::istringstream lines(written());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(200u, line.size());
        EXPECT_EQ(std::string(200, line[0]), line);
    }
    EXPECT_EQ(2 * kLines, count);
}

}  // namespace
