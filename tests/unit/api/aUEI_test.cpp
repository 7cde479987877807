#include "api/aUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <vector>

namespace {

aPacket* make(std::vector<uint8_t> data, uint8_t address = 2) {
    const uint8_t none = 0;
    return aPacket_CreateWithData(address, static_cast<uint8_t>(data.size()),
                                  data.empty() ? &none : data.data());
}

struct Owned {
    aPacket* p;
    explicit Owned(aPacket* packet) : p(packet) {}
    ~Owned() {
        if (p) aPacket_Destroy(&p);
    }
};

TEST(aUEINumbers, BigEndianLayout) {
    uint8_t buf[4] = {};
    aUEI_StoreShort(buf, 0x1234);
    EXPECT_EQ(buf[0], 0x12);
    EXPECT_EQ(buf[1], 0x34);
    EXPECT_EQ(aUEI_RetrieveShort(buf), 0x1234);
    aUEI_StoreInt(buf, 0xA1B2C3D4u);
    const uint8_t expect[] = {0xA1, 0xB2, 0xC3, 0xD4};
    EXPECT_EQ(0, memcmp(buf, expect, 4));
    EXPECT_EQ(aUEI_RetrieveInt(buf), 0xA1B2C3D4u);

    const uint8_t wire[] = {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00, 0x2A};
    uint32_t words[2];
    memcpy(words, wire, sizeof wire);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 0x12345678u);
    EXPECT_EQ(words[1], 42u);
    aUEI_ModifyIntBuffer(nullptr, 3);  // ignored
}

// Builds the whole run for a string and checks every packet, then reassembles it the way a
// receiver reads chunks.
TEST(aUEIBytes, Chunking) {
    struct Case {
        size_t length;
        std::vector<uint8_t> dataSizes;
        std::vector<uint8_t> sequenceBytes;
    };
    const Case cases[] = {
        {0, {4}, {0x00}},
        {1, {5}, {0x00}},
        {24, {28}, {0x00}},
        {25, {28, 5}, {0x80, 0x01}},
        {48, {28, 28}, {0x80, 0x01}},
        {49, {28, 28, 5}, {0x80, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        std::vector<uint8_t> text(c.length);
        std::iota(text.begin(), text.end(), uint8_t{0x30});
        const size_t count = aUEI_BytesPacketCount(c.length);
        ASSERT_EQ(count, c.dataSizes.size());
        std::vector<uint8_t> back;
        for (size_t n = 0; n < count; ++n) {
            Owned p(aUEI_CreateBytesPacket(6, cmdSYSTEM, systemName | OPTION_SET, INDEX_REQUEST,
                                           text.data(), text.size(), n));
            ASSERT_NE(p.p, nullptr);
            EXPECT_EQ(p.p->address, 6);
            EXPECT_EQ(p.p->dataSize, c.dataSizes[n]);
            EXPECT_EQ(p.p->data[0], cmdSYSTEM);
            EXPECT_EQ(p.p->data[1], systemName | OPTION_SET);
            EXPECT_EQ(p.p->data[2], INDEX_REQUEST);
            EXPECT_EQ(p.p->data[p.p->dataSize - 1], c.sequenceBytes[n]);
            EXPECT_EQ(aUEI_getBytesSequence(p.p), c.sequenceBytes[n] & 0x7F);
            EXPECT_EQ(aUEI_getBytesContinue(p.p), (c.sequenceBytes[n] & 0x80) != 0);
            EXPECT_EQ(aUEI_getBytesFullPacket(p.p), c.dataSizes[n] == 28);
            size_t chunk = aUEI_getBytesChunkLength(p.p);
            back.insert(back.end(), p.p->data + 3, p.p->data + 3 + chunk);
        }
        EXPECT_EQ(back, text);
        EXPECT_EQ(aUEI_CreateBytesPacket(6, 3, 0x80, 0x20, text.data(), text.size(), count),
                  nullptr);
    }
}

TEST(aUEIBytes, SequenceWrapsModulo128) {
    std::vector<uint8_t> text(129 * 24 + 1, 0xAB);
    ASSERT_EQ(aUEI_BytesPacketCount(text.size()), 130u);
    Owned p128(aUEI_CreateBytesPacket(2, 3, 0x80, 0x20, text.data(), text.size(), 128));
    Owned p129(aUEI_CreateBytesPacket(2, 3, 0x80, 0x20, text.data(), text.size(), 129));
    EXPECT_EQ(aUEI_getBytesSequence(p128.p), 0);
    EXPECT_TRUE(aUEI_getBytesContinue(p128.p));
    EXPECT_EQ(aUEI_getBytesSequence(p129.p), 1);
    EXPECT_FALSE(aUEI_getBytesContinue(p129.p));
    EXPECT_EQ(p129.p->dataSize, 5);
}

TEST(aUEIBytes, RefusesMissingData) {
    EXPECT_EQ(aUEI_CreateBytesPacket(2, 3, 0x80, 0x20, nullptr, 5, 0), nullptr);
    Owned empty(aUEI_CreateBytesPacket(2, 3, 0x80, 0x20, nullptr, 0, 0));
    ASSERT_NE(empty.p, nullptr);
    EXPECT_EQ(empty.p->dataSize, 4);
}

TEST(aUEIBytes, ClassifiersOnOddPackets) {
    // No data at all: nothing to read, whatever the caller hoped.
    Owned none(make({}));
    EXPECT_EQ(aUEI_getBytesSequence(none.p), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(none.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(none.p));
    EXPECT_EQ(aUEI_getBytesChunkLength(none.p), 0u);
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesContinue(nullptr));
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));

    std::vector<uint8_t> d27(27, 0), d26(26, 0);
    d27.back() = 0x85;
    Owned p27(make(d27)), p26(make(d26));
    EXPECT_TRUE(aUEI_getBytesFullPacket(p27.p));
    EXPECT_FALSE(aUEI_getBytesFullPacket(p26.p));
    EXPECT_EQ(aUEI_getBytesSequence(p27.p), 5);
    EXPECT_TRUE(aUEI_getBytesContinue(p27.p));
}

TEST(aUEIPayload, CommandsWithOwnLayouts) {
    for (int cmd = 0; cmd < 256; ++cmd) {
        Owned p(make({static_cast<uint8_t>(cmd), 0, 0}));
        bool listed = false;
        for (uint8_t c : {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175}) listed |= (c == cmd);
        EXPECT_EQ(aUEI_isNotUEIPayload(p.p), listed) << cmd;
        EXPECT_EQ(aUEI_isUEIPayload(p.p), !listed) << cmd;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));
}

TEST(aUEIStream, Classification) {
    std::vector<uint8_t> sample = {3, 0x07, 0x40, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0x55, 0};
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool stream;
    };
    auto with = [&](size_t at, uint8_t v) {
        auto d = sample;
        d[at] = v;
        return d;
    };
    const Case cases[] = {
        {"8-bit sample", sample, true},
        {"minimum length 5", {3, 0x07, 0x41, 1, 0}, true},
        {"length 4", {3, 0x07, 0x40, 1}, false},
        {"get flag", with(1, 0x47), false},
        {"set flag", with(1, 0x87), false},
        {"no stream flag", with(2, 0x00), false},
        {"error flag alone", with(2, 0x80), false},
        {"not a UEI command", with(0, cmdUPGRADE), false},
        {"query command", with(0, cmdQUERY), false},
    };
    for (const Case& c : cases) {
        Owned p(make(c.data));
        EXPECT_EQ(aUEI_isStreamPacket(p.p), c.stream) << c.name;
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

TEST(aUEIReply, DecodeByLength) {
    struct Case {
        std::vector<uint8_t> data;
        bool decoded;
        int type;
        uint32_t value;
    };
    const Case cases[] = {
        {{3, 8, 0}, true, ueiVoid, 0xDEADBEEF},
        {{3, 8, 0, 0x13}, true, ueiByte, 0x13},
        {{3, 8, 0, 0x12, 0x34}, true, ueiShort, 0x1234},
        {{3, 8, 0, 1, 2, 3}, false, ueiInt, 0xDEADBEEF},  // length 6: value untouched
        {{3, 7, 0, 0x2F, 0x02, 0x0F, 0x00}, true, ueiInt, 0x2F020F00},
        {{3, 7, 0, 1, 2, 3, 4, 5}, false, ueiInt, 0xDEADBEEF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.data.size());
        Owned p(make(c.data));
        uei record = {};
        record.type = ueiInt;
        record.value.intVal = 0xDEADBEEF;
        EXPECT_EQ(aUEI_DecodeValue(p.p, &record), c.decoded);
        EXPECT_EQ(record.type, c.type);
        switch (record.type) {
            case ueiByte:
                EXPECT_EQ(record.value.byteVal, c.value);
                break;
            case ueiShort:
                EXPECT_EQ(record.value.shortVal, c.value);
                break;
            case ueiInt:
                EXPECT_EQ(record.value.intVal, c.value);
                break;
            default:
                break;
        }
    }
    uei record = {};
    EXPECT_FALSE(aUEI_DecodeValue(nullptr, &record));
}

}  // namespace
