#include "engine/aPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct PacketPtr {
    aPacket* p;
    explicit PacketPtr(aPacket* packet) : p(packet) {}
    ~PacketPtr() {
        if (p) aPacket_Destroy(&p);
    }
    aPacket* operator->() const { return p; }
    aPacket* get() const { return p; }
};

TEST(aPacket, CreateWithDataLimits) {
    uint8_t bytes[29] = {};
    for (int i = 0; i < 29; ++i) bytes[i] = static_cast<uint8_t>(i + 1);

    PacketPtr full(aPacket_CreateWithData(6, 28, bytes));
    ASSERT_NE(full.get(), nullptr);
    EXPECT_EQ(full->check, aPACKET_CHECK);
    EXPECT_EQ(full->address, 6);
    EXPECT_EQ(full->dataSize, 28);
    EXPECT_EQ(full->curSize, 30);
    EXPECT_EQ(0, memcmp(full->data, bytes, 28));
    EXPECT_TRUE(aPacket_IsComplete(full.get()));

    EXPECT_EQ(aPacket_CreateWithData(6, 29, bytes), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(6, 0, nullptr), nullptr);

    PacketPtr empty(aPacket_CreateWithData(4, 0, bytes));
    ASSERT_NE(empty.get(), nullptr);
    EXPECT_EQ(empty->curSize, 2);
    EXPECT_TRUE(aPacket_IsComplete(empty.get()));
    for (uint8_t b : empty->data) EXPECT_EQ(b, 0);
}

TEST(aPacket, CreateIsEmptyTemplate) {
    PacketPtr p(aPacket_Create());
    ASSERT_NE(p.get(), nullptr);
    EXPECT_TRUE(aVALIDPACKET(p.get()));
    EXPECT_EQ(p->curSize, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->dataSize, 0);
    EXPECT_FALSE(aPacket_IsComplete(p.get()));
    EXPECT_FALSE(aVALIDPACKET(nullptr));
}

TEST(aPacket, CopyIsDistinct) {
    const uint8_t bytes[] = {3, 0xC8, 0x21};
    aPacket* original = aPacket_CreateWithData(2, 3, bytes);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_EQ(copy->address, 2);
    EXPECT_EQ(copy->dataSize, 3);
    EXPECT_EQ(0, memcmp(copy->data, bytes, 3));
    EXPECT_EQ(aPacket_Destroy(&original), aErrNone);
    EXPECT_EQ(original, nullptr);
    EXPECT_EQ(copy->data[1], 0xC8);
    aPacket_Destroy(&copy);

    aPacket bad = {};
    EXPECT_EQ(aPacket_Copy(&bad), nullptr);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(aPacket, HeaderAccessors) {
    struct Case {
        std::vector<uint8_t> data;
        aErr cmdErr, optErr, idxErr;
        uint8_t cmd, opt, idx;
    };
    const Case cases[] = {
        {{}, aErrPacket, aErrPacket, aErrPacket, 0, 0, 0},
        {{0x03}, aErrNone, aErrPacket, aErrPacket, 0x03, 0, 0},
        {{0x03, 0xC8}, aErrNone, aErrNone, aErrPacket, 0x03, 0x08, 0},
        {{0x5F, 0xFF, 0xFF, 0x00}, aErrNone, aErrNone, aErrNone, 0x5F, 0x3F, 0x1F},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data.size());
        const uint8_t none = 0;
        PacketPtr p(aPacket_CreateWithData(2, static_cast<uint8_t>(c.data.size()),
                                           c.data.empty() ? &none : c.data.data()));
        uint8_t v = 0;
        EXPECT_EQ(aPacket_GetCmd(p.get(), &v), c.cmdErr);
        if (c.cmdErr == aErrNone) {
            EXPECT_EQ(v, c.cmd);
        }
        EXPECT_EQ(aPacket_GetOption(p.get(), &v), c.optErr);
        if (c.optErr == aErrNone) {
            EXPECT_EQ(v, c.opt);
        }
        EXPECT_EQ(aPacket_GetIndex(p.get(), &v), c.idxErr);
        if (c.idxErr == aErrNone) {
            EXPECT_EQ(v, c.idx);
        }
        // The out pointer is tested before the packet.
        EXPECT_EQ(aPacket_GetCmd(p.get(), nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(nullptr, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(nullptr, nullptr), aErrParam);
    }
    uint8_t v;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &v), aErrPacket);
}

// Feeds bytes to a fresh packet and records each result.
std::vector<aErr> feed(aPacket* p, const std::vector<uint8_t>& bytes) {
    std::vector<aErr> out;
    for (uint8_t b : bytes) out.push_back(aPacket_AddByte(p, b));
    return out;
}

TEST(aPacketAssembler, ByteByByte) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::vector<aErr> results;
        bool complete;
        uint8_t curSize, address, dataSize;
        std::vector<uint8_t> data;  // first bytes of data expected
    };
    std::vector<uint8_t> full = {4, 28};
    for (int i = 0; i < 28; ++i) full.push_back(static_cast<uint8_t>(0x40 + i));
    std::vector<aErr> fullOk(30, aErrNone);
    std::vector<uint8_t> fullData(full.begin() + 2, full.end());
    std::vector<uint8_t> over = full;
    over.push_back(0x99);
    std::vector<aErr> overRes = fullOk;
    overRes.push_back(aErrOverrun);

    const Case cases[] = {
        {"zero length", {0x04, 0x00}, {aErrNone, aErrNone}, true, 2, 4, 0, {}},
        {"two data bytes",
         {0x04, 0x02, 0x11, 0x22},
         {aErrNone, aErrNone, aErrNone, aErrNone},
         true,
         4,
         4,
         2,
         {0x11, 0x22}},
        {"zero address counts", {0x00}, {aErrPacket}, false, 1, 0, 0, {}},
        {"zero address then address",
         {0x00, 0x06, 0x00},
         {aErrPacket, aErrNone, aErrNone},
         false,
         3,
         6,
         0,
         {}},
        {"length 29 rejected but stored", {0x04, 29}, {aErrNone, aErrPacket}, false, 2, 4, 29, {}},
        {"partial", {0x04, 0x03, 0x01}, {aErrNone, aErrNone, aErrNone}, false, 3, 4, 3, {0x01}},
        {"byte beyond the data",
         {0x04, 0x01, 0x11, 0x77},
         {aErrNone, aErrNone, aErrNone, aErrPacket},
         false,
         4,
         4,
         1,
         {0x11, 0x00}},
        {"28 data bytes", full, fullOk, true, 30, 4, 28, fullData},
        {"31st byte", over, overRes, false, 31, 4, 28, fullData},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketPtr p(aPacket_Create());
        EXPECT_EQ(feed(p.get(), c.bytes), c.results);
        EXPECT_EQ(aPacket_IsComplete(p.get()), c.complete);
        EXPECT_EQ(p->curSize, c.curSize);
        EXPECT_EQ(p->address, c.address);
        EXPECT_EQ(p->dataSize, c.dataSize);
        for (size_t i = 0; i < c.data.size(); ++i) EXPECT_EQ(p->data[i], c.data[i]) << i;
    }
}

TEST(aPacketAssembler, OversizeLengthNeverCompletes) {
    // A rejected length of 29 stays stored; feeding on must never yield a "complete" 29-byte
    // packet that would be read past its data.
    PacketPtr p(aPacket_Create());
    EXPECT_EQ(aPacket_AddByte(p.get(), 4), aErrNone);
    EXPECT_EQ(aPacket_AddByte(p.get(), 29), aErrPacket);
    for (int i = 0; i < 40; ++i) {
        aPacket_AddByte(p.get(), 0x55);
        EXPECT_FALSE(aPacket_IsComplete(p.get())) << i;
    }
    uint8_t buf[64];
    EXPECT_NE(aPacket_GetBytes(p.get(), buf, sizeof buf, nullptr), aErrNone);
    EXPECT_EQ(aPacket_Copy(p.get()), nullptr);
}

TEST(aPacketAssembler, NeverWrapsAfterManyBytes) {
    PacketPtr p(aPacket_Create());
    aPacket_AddByte(p.get(), 4);
    aPacket_AddByte(p.get(), 28);
    for (int i = 0; i < 28; ++i) aPacket_AddByte(p.get(), 0x11);
    // Hundreds of bytes without a reset keep being refused and never overwrite the data.
    for (int i = 0; i < 600; ++i) ASSERT_EQ(aPacket_AddByte(p.get(), 0xEE), aErrOverrun) << i;
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->dataSize, 28);
    EXPECT_EQ(p->check, aPACKET_CHECK);
    for (uint8_t b : p->data) EXPECT_EQ(b, 0x11);
}

TEST(aPacketAssembler, ResetCycle) {
    PacketPtr p(aPacket_Create());
    feed(p.get(), {0x08, 0x02, 0xAA, 0xBB});
    ASSERT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(aPacket_Reset(p.get()), aErrNone);
    EXPECT_EQ(p->curSize, 0);
    EXPECT_EQ(p->address, 0);
    EXPECT_EQ(p->dataSize, 0);
    for (uint8_t b : p->data) EXPECT_EQ(b, 0);
    feed(p.get(), {0x0A, 0x01, 0xCC});
    EXPECT_TRUE(aPacket_IsComplete(p.get()));
    EXPECT_EQ(p->data[0], 0xCC);
    EXPECT_EQ(p->data[1], 0);

    aPacket bad = {};
    EXPECT_EQ(aPacket_Reset(&bad), aErrParam);
    EXPECT_EQ(aPacket_Reset(nullptr), aErrParam);
    EXPECT_EQ(aPacket_AddByte(&bad, 1), aErrParam);
    EXPECT_EQ(bad.curSize, 0);
    EXPECT_FALSE(aPacket_IsComplete(&bad));
}

TEST(aPacket, GetBytesBufferSizes) {
    const uint8_t bytes[] = {0x10, 0x20, 0x30};
    PacketPtr p(aPacket_CreateWithData(0x0C, 3, bytes));
    uint8_t buf[30];
    memset(buf, 0xEE, sizeof buf);
    size_t n = 0;
    EXPECT_EQ(aPacket_GetBytes(p.get(), buf, 4, &n), aErrOverrun);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(aPacket_GetBytes(p.get(), buf, 5, &n), aErrNone);
    EXPECT_EQ(n, 5u);
    const uint8_t expect[] = {0x0C, 3, 0x10, 0x20, 0x30, 0xEE};
    EXPECT_EQ(0, memcmp(buf, expect, sizeof expect));
    EXPECT_EQ(aPacket_GetBytes(p.get(), buf, sizeof buf, nullptr), aErrNone);
    EXPECT_EQ(aPacket_GetBytes(p.get(), nullptr, sizeof buf, &n), aErrParam);
    EXPECT_EQ(aPacket_GetBytes(nullptr, buf, sizeof buf, &n), aErrParam);

    PacketPtr empty(aPacket_CreateWithData(4, 0, bytes));
    EXPECT_EQ(aPacket_GetBytes(empty.get(), buf, 1, &n), aErrOverrun);
    EXPECT_EQ(aPacket_GetBytes(empty.get(), buf, 2, &n), aErrNone);
    EXPECT_EQ(n, 2u);
}

TEST(aPacket, DestroyNullsHandle) {
    aPacket* p = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&p), aErrNone);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(aPacket_Destroy(&p), aErrParam);
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);
}

}  // namespace
