#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/aFile.h"
#include "engine/aMutex.h"
#include "engine/aThread.h"
#include "engine/aTime.h"

namespace {

class TempDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/hvfileXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string path(const char* name) const { return dir + "/" + name; }
    void write(const char* name, const std::string& text) const {
        FILE* f = fopen(path(name).c_str(), "wb");
        fwrite(text.data(), 1, text.size(), f);
        fclose(f);
    }
    std::string dir;
};

using aFileTest = TempDir;

TEST_F(aFileTest, OpenModes) {
    std::string missing = path("missing");
    EXPECT_EQ(aFile_Open(missing.c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open("", aFileModeWriteOnly), nullptr);
    EXPECT_EQ(aFile_Open(missing.c_str(), aFileModeUnsupported), nullptr);
    EXPECT_EQ(aFile_Open(missing.c_str(), 42), nullptr);
    std::string tooLong(aFILE_MAXPATH + 1, 'a');
    EXPECT_EQ(aFile_Open(tooLong.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(tooLong.c_str()));

    // Append creates the file; a second append adds to it.
    for (const char* part : {"abc", "def"}) {
        aFile* f = aFile_Open(missing.c_str(), aFileModeAppend);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(aFile_Write(f, reinterpret_cast<const uint8_t*>(part), 3, nullptr), aErrNone);
        EXPECT_EQ(aFile_Close(&f), aErrNone);
        EXPECT_EQ(f, nullptr);
    }
    aFile* f = aFile_Open(missing.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    uint8_t buf[16] = {};
    size_t count = 0;
    EXPECT_EQ(aFile_Read(f, buf, sizeof buf, &count), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "abcdef");
    EXPECT_EQ(aFile_Write(f, buf, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(f, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(f), aErrMode);
    EXPECT_EQ(aFile_Close(&f), aErrNone);
    EXPECT_EQ(aFile_Close(&f), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);

    EXPECT_TRUE(aFile_Exists(missing.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.c_str())) << "a directory is not a file";
}

TEST_F(aFileTest, ReadAtAndNearTheEnd) {
    write("ten", "0123456789");
    aFile* f = aFile_Open(path("ten").c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    uint8_t buf[10];
    size_t count = 99;
    EXPECT_EQ(aFile_Seek(f, 6, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Read(f, buf, 10, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(aFile_Read(f, buf, 10, &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(f, nullptr, 10, &count), aErrParam);
    aFile_Close(&f);

    f = aFile_Open(path("out").c_str(), aFileModeWriteOnly);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(aFile_Read(f, buf, 1, &count), aErrMode);
    size_t line = 0;
    EXPECT_EQ(aFile_ReadLine(f, reinterpret_cast<char*>(buf), sizeof buf, &line), aErrMode);
    aFile_Close(&f);
}

TEST_F(aFileTest, SeekBounds) {
    write("ten", "0123456789");
    aFile* f = aFile_Open(path("ten").c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    struct Case {
        long offset;
        int32_t origin;
        aErr expected;
    } cases[] = {
        {1, aSeekEnd, aErrRange},    {0, aSeekEnd, aErrNone},    {-10, aSeekEnd, aErrNone},
        {-11, aSeekEnd, aErrRange},  {10, aSeekStart, aErrNone}, {11, 7, aErrRange},
        {-1, aSeekStart, aErrRange},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aFile_Seek(f, c.offset, c.origin), c.expected) << c.offset << "/" << c.origin;
    }
    ASSERT_EQ(aFile_Seek(f, 4, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 2, aSeekCurrent), aErrNone);
    size_t size = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    uint8_t b = 0;
    EXPECT_EQ(aFile_Read(f, &b, 1, nullptr), aErrNone);
    EXPECT_EQ(b, '6') << "GetSize leaves the position alone";
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
    aFile_Close(&f);
}

TEST_F(aFileTest, ReadLineCutsLongLines) {
    write("lines", "abcdefghij\nabcdef\nlast");
    aFile* f = aFile_Open(path("lines").c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[8];
    size_t len = 0;
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrOverrun);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "hij\n");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "abcdef\n") << "exactly 7 characters with the newline fit";
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrEOF);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(len, 0u);
    aFile_Close(&f);
}

TEST_F(aFileTest, Delete) {
    write("gone", "x");
    EXPECT_EQ(aFile_Delete(path("gone").c_str()), aErrNone);
    EXPECT_EQ(aFile_Delete(path("gone").c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    std::string tooLong(aFILE_MAXPATH + 1, 'a');
    EXPECT_EQ(aFile_Delete(tooLong.c_str()), aErrFileNameLength);
}

TEST(aMutex, NamesAndErrors) {
    std::string name255(255, 'm'), name256(256, 'm');
    EXPECT_EQ(aMutex_Create(name256.c_str()), nullptr);
    aMutex* m = aMutex_Create(name255.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(aMutex_Identifier(m), name255);
    aMutex* unnamed = aMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(aMutex_Identifier(unnamed), "");

#if !defined(__SANITIZE_THREAD__)
    // ThreadSanitizer reports the unlock of an unheld mutex itself, before the call can fail.
    EXPECT_EQ(aMutex_Unlock(m), aErrPermission) << "not the owner";
#endif
    EXPECT_EQ(aMutex_Lock(m), aErrNone);
    EXPECT_EQ(aMutex_Lock(m), aErrDuplicate) << "non-recursive";
    std::atomic<aErr> other{aErrNone};
    std::pair<aMutex*, std::atomic<aErr>*> shared(m, &other);
    aThread* t = aThread_Create(
        [](void* arg) -> void* {
            auto* pair = static_cast<std::pair<aMutex*, std::atomic<aErr>*>*>(arg);
            pair->second->store(aMutex_TryLock(pair->first));
            return nullptr;
        },
        &shared);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(other.load(), aErrBusy);
    EXPECT_EQ(aMutex_Unlock(m), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&m), aErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(aMutex_Destroy(&m), aErrParam);
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(&unnamed), aErrNone);
}

TEST(aThread, DestroyOfAnEndedThreadReturnsAtOnce) {
    std::atomic<bool> ran{false};
    aThread* t = aThread_Create(
        [](void* arg) -> void* {
            static_cast<std::atomic<bool>*>(arg)->store(true);
            return nullptr;
        },
        &ran);
    ASSERT_NE(t, nullptr);
    while (!ran.load()) aThread_Yield();
    uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(aThread_Destroy(&t), 0);
    EXPECT_LT(aTime_GetMSTicks() - start, 100u);
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
}

TEST(aTime, TicksAndSleepSlices) {
    uint64_t before = aTime_GetMSTicks();
    EXPECT_GT(before, 1600000000000ull) << "milliseconds since 1970";
    EXPECT_EQ(aTime_MSSleep(0), 0u);
    EXPECT_EQ(aTime_MSSleep(20), 1u);
    uint64_t start = aTime_GetMSTicks();
    EXPECT_EQ(aTime_MSSleep(2500), 3u);
    uint64_t slept = aTime_GetMSTicks() - start;
    EXPECT_GE(slept, 2500u);
    EXPECT_LT(slept, 3000u);
}

}  // namespace
