// The stream framework: all-or-nothing reads, push-back, writes, records and file streams.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ScriptedTransport.h"
#include "transport/aStream.h"

namespace {

class StreamTest : public ::testing::Test {
  protected:
    ScriptedTransport t;
    aStream* s = nullptr;
    void SetUp() override {
        s = aStream_Create(ScriptedTransport::get, ScriptedTransport::put, ScriptedTransport::write,
                           ScriptedTransport::del, &t);
        ASSERT_NE(s, nullptr);
    }
    void TearDown() override {
        if (s) aStream_Destroy(&s);
    }
    std::string readAll(size_t n) {
        std::string out;
        uint8_t b;
        for (size_t i = 0; i < n && aStream_Read(s, &b, 1) == aErrNone; ++i) out += char(b);
        return out;
    }
};

TEST_F(StreamTest, ShortReadIsUndoneAndRetriedWhole) {
    t.text("ab");
    t.code(aErrNotReady);
    uint8_t dest[4] = {9, 9, 9, 9};
    EXPECT_EQ(aStream_Read(s, dest, 4), aErrNotReady);
    EXPECT_EQ(dest[0], 9);  // untouched
    t.text("cd");
    ASSERT_EQ(aStream_Read(s, dest, 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(dest), 4), "abcd");
}

TEST_F(StreamTest, PushBackOf600BytesGrowsTo1024AndKeepsOrder) {
    std::vector<uint8_t> data(600);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
    t.bytes(data);
    t.code(aErrNotReady);
    std::vector<uint8_t> dest(700);
    EXPECT_EQ(aStream_Read(s, dest.data(), dest.size()), aErrNotReady);
    EXPECT_EQ(s->pushBackCount, 600u);
    EXPECT_EQ(s->pushBackSize, 1024u);
    ASSERT_EQ(aStream_Read(s, dest.data(), 600), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(dest.begin(), dest.begin() + 600), data);
    EXPECT_EQ(s->pushBackCount, 0u);
}

TEST_F(StreamTest, PushBackWrapsAroundTheRing) {
    // Fill, drain partly, fill again past the end of the ring.
    for (int round = 0; round < 3; ++round) {
        std::vector<uint8_t> data(300);
        for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i + round);
        t.bytes(data);
        t.code(aErrNotReady);
        std::vector<uint8_t> dest(400);
        EXPECT_EQ(aStream_Read(s, dest.data(), 400), aErrNotReady);
        ASSERT_EQ(aStream_Read(s, dest.data(), 300), aErrNone);
        EXPECT_EQ(std::vector<uint8_t>(dest.begin(), dest.begin() + 300), data);
    }
}

TEST_F(StreamTest, EndOfDataDeliversWhatArrived) {
    t.text("xy");
    t.code(aErrEOF);
    uint8_t dest[4] = {0};
    EXPECT_EQ(aStream_Read(s, dest, 4), aErrEOF);
    EXPECT_EQ(dest[0], 'x');
    EXPECT_EQ(dest[1], 'y');
}

TEST_F(StreamTest, OtherFailureDropsTheBytes) {
    t.text("xy");
    t.code(aErrIO);
    t.text("z");
    uint8_t dest[4] = {0};
    EXPECT_EQ(aStream_Read(s, dest, 4), aErrIO);
    EXPECT_EQ(dest[0], 0);
    EXPECT_EQ(readAll(1), "z");
}

TEST_F(StreamTest, ZeroByteReadTouchesNothing) {
    t.text("a");
    uint8_t dest = 5;
    EXPECT_EQ(aStream_Read(s, &dest, 0), aErrNone);
    EXPECT_EQ(dest, 5);
    EXPECT_EQ(t.script.size(), 1u);
}

TEST(StreamModes, MissingOperationsAndInvalidStreams) {
    ScriptedTransport t;
    aStream* noGet = aStream_Create(nullptr, ScriptedTransport::put, nullptr, nullptr, &t);
    aStream* noWrite = aStream_Create(ScriptedTransport::get, nullptr, nullptr, nullptr, &t);
    uint8_t b = 0;
    EXPECT_EQ(aStream_Read(noGet, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Write(noWrite, &b, 1), aErrMode);
    EXPECT_EQ(aStream_Read(noWrite, nullptr, 1), aErrParam);
    EXPECT_EQ(aStream_Read(nullptr, &b, 1), aErrParam);
    EXPECT_EQ(aStream_Flush(noWrite, noWrite), aErrMode);
    EXPECT_EQ(aStream_Destroy(&noGet), aErrNone);
    EXPECT_EQ(noGet, nullptr);
    EXPECT_EQ(aStream_Destroy(&noGet), aErrParam);
    EXPECT_EQ(noGet, nullptr);
    aStream_Destroy(&noWrite);
}

TEST_F(StreamTest, WritesUseOneWriteForRunsAndPutForSingleBytes) {
    const uint8_t run[] = {1, 2, 3};
    EXPECT_EQ(aStream_Write(s, run, 3), aErrNone);
    EXPECT_EQ(aStream_Write(s, run, 1), aErrNone);
    EXPECT_EQ(t.writeCalls, std::vector<size_t>{3});
    EXPECT_EQ(t.putCalls, 1u);
    EXPECT_EQ(t.written, (std::vector<uint8_t>{1, 2, 3, 1}));
}

TEST(StreamWrite, WriteOnlyStreamWritesSingleBytesWithWrite) {
    ScriptedTransport t;
    aStream* s = aStream_Create(nullptr, nullptr, ScriptedTransport::write, nullptr, &t);
    const uint8_t b = 7;
    EXPECT_EQ(aStream_Write(s, &b, 1), aErrNone);
    EXPECT_EQ(t.writeCalls, std::vector<size_t>{1});
    aStream_Destroy(&s);
}

TEST_F(StreamTest, CStringLeavesTheRestForTheNextRead) {
    t.bytes({'a', 'b', 0, 'c', 'd', 0});
    char buf[8];
    ASSERT_EQ(aStream_ReadCString(s, buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "ab");
    ASSERT_EQ(aStream_ReadCString(s, buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "cd");
}

TEST_F(StreamTest, RecordCompletesWhenTheBufferIsFull) {
    t.text("abcdef\n");
    uint8_t buf[3];
    size_t length = 0;
    const uint8_t nl = '\n';
    ASSERT_EQ(aStream_ReadRecord(s, buf, &length, 3, &nl, 1), aErrNone);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 3), "abc");
    EXPECT_EQ(readAll(4), "def\n");
}

TEST_F(StreamTest, RecordInterruptedByNotReadyStartsAgain) {
    t.text("ab");
    t.code(aErrNotReady);
    t.text("c\r\nz");
    char buf[16];
    EXPECT_EQ(aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), aErrNotReady);
    ASSERT_EQ(aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), aErrNone);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(readAll(1), "z");
}

TEST_F(StreamTest, BrokenPartialTerminatorKeepsItsBytes) {
    t.text("a\rb\r\n");
    char buf[16];
    ASSERT_EQ(aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), aErrNone);
    EXPECT_STREQ(buf, "a\rb");
}

TEST_F(StreamTest, RecordEndOfData) {
    const uint8_t nl = '\n';
    uint8_t buf[8];
    size_t length = 99;
    t.text("ab");
    t.code(aErrEOF);
    ASSERT_EQ(aStream_ReadRecord(s, buf, &length, sizeof buf, &nl, 1), aErrNone);
    EXPECT_EQ(length, 2u);
    t.code(aErrEOF);
    EXPECT_EQ(aStream_ReadRecord(s, buf, &length, sizeof buf, &nl, 1), aErrEOF);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(aStream_ReadRecord(s, buf, &length, 0, &nl, 1), aErrParam);
    EXPECT_EQ(aStream_ReadRecord(s, buf, &length, 8, &nl, 0), aErrParam);
}

TEST_F(StreamTest, CStringRecordWritesTerminatorWithItsZero) {
    ASSERT_EQ(aStream_WriteCStringRecord(s, "x", "\r\n"), aErrNone);
    EXPECT_EQ(t.written, (std::vector<uint8_t>{'x', '\r', '\n', 0}));
    // Read back: the zero is not consumed and begins the next record.
    t.bytes(t.written);
    char buf[8];
    ASSERT_EQ(aStream_ReadCStringRecord(s, buf, sizeof buf, "\r\n"), aErrNone);
    EXPECT_STREQ(buf, "x");
    uint8_t b = 1;
    ASSERT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 0);
}

TEST_F(StreamTest, WriteCStringEndsWithZero) {
    ASSERT_EQ(aStream_WriteCString(s, "hi"), aErrNone);
    EXPECT_EQ(t.written, (std::vector<uint8_t>{'h', 'i', 0}));
}

TEST(StreamDestroy, CallsDeleteOnce) {
    ScriptedTransport t;
    aStream* s =
        aStream_Create(ScriptedTransport::get, nullptr, nullptr, ScriptedTransport::del, &t);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(t.deletes, 1);
    aStream* null = nullptr;
    EXPECT_EQ(aStream_Destroy(&null), aErrParam);
    EXPECT_EQ(aStream_Destroy(nullptr), aErrParam);
}

TEST(StreamWait, PushedBackBytesAreReadableAndWaitIsOptional) {
    ScriptedTransport t;
    aStream* s = aStream_Create(ScriptedTransport::get, nullptr, nullptr, nullptr, &t);
    EXPECT_EQ(aStream_WaitReadable(s, 10), aErrUnimplemented);
    t.text("a");
    uint8_t two[2];
    EXPECT_EQ(aStream_Read(s, two, 2), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(s, 10), aErrNone);
    EXPECT_EQ(aStream_WaitReadable(nullptr, 10), aErrParam);
    aStream_Destroy(&s);
}

class FileStreamTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/hvfsXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0); }
};

TEST_F(FileStreamTest, WriteThenReadBackAndFlush) {
    const std::string a = dir + "/a", b = dir + "/b";
    aStream* out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(a.c_str(), &out), aErrNone);
    uint8_t none = 0;
    EXPECT_EQ(aStream_Read(out, &none, 1), aErrMode);
    ASSERT_EQ(aStream_WriteCString(out, "hello"), aErrNone);
    ASSERT_EQ(aStream_Destroy(&out), aErrNone);

    aStream* in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(a.c_str(), &in), aErrNone);
    aStream* copy = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(b.c_str(), &copy), aErrNone);
    EXPECT_EQ(aStream_Flush(in, copy), aErrNone);
    aStream_Destroy(&in);
    aStream_Destroy(&copy);

    ASSERT_EQ(aStream_CreateFileInput(b.c_str(), &in), aErrNone);
    char buf[16];
    ASSERT_EQ(aStream_ReadCString(in, buf, sizeof buf), aErrNone);
    EXPECT_STREQ(buf, "hello");
    uint8_t byte;
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    aStream_Destroy(&in);
}

TEST_F(FileStreamTest, OpenFailures) {
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateFileInput((dir + "/missing").c_str(), &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateFileOutput((dir + "/no/such/dir").c_str(), &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput(nullptr, &s), aErrResource);
    EXPECT_EQ(aStream_CreateFileInput("x", nullptr), aErrResource);
}

}  // namespace
