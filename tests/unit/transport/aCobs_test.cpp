// COBS codec, CRC-8/MAXIM-DOW and the COBS framing stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedTransport.h"
#include "transport/aCobs.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const Bytes& in) {
    Bytes out(in.size() + 1 + in.size() / 254);
    out.resize(cobs_encode(in.data(), in.size(), out.data()));
    return out;
}

Bytes decode(const Bytes& in) {
    Bytes out(in.size());
    out.resize(cobs_decode(in.data(), in.size(), out.data()));
    return out;
}

TEST(Crc8, CheckValues) {
    const std::string digits = "123456789";
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xA1);
    EXPECT_EQ(crc8_create(reinterpret_cast<const uint8_t*>("abc"), 3), 0x42);
    EXPECT_EQ(crc8_create(nullptr, 0), 0);
    EXPECT_TRUE(crc8_check(reinterpret_cast<const uint8_t*>("abc"), 3, 0x42));
    EXPECT_FALSE(crc8_check(reinterpret_cast<const uint8_t*>("abc"), 3, 0x43));
    EXPECT_EQ(crc8_update(0, 0x01), 0x5E);  // the table's first non-trivial entry
}

struct CobsCase {
    Bytes payload;
    Bytes encoded;
};

class CobsExamples : public ::testing::TestWithParam<CobsCase> {};

TEST_P(CobsExamples, EncodeAndDecode) {
    const CobsCase& c = GetParam();
    EXPECT_EQ(encode(c.payload), c.encoded);
    EXPECT_EQ(decode(c.encoded), c.payload);
    Bytes buf = c.payload;
    buf.resize(c.encoded.size());
    ASSERT_EQ(cobs_encode_inplace(buf.data(), c.payload.size()), c.encoded.size());
    EXPECT_EQ(buf, c.encoded);
    ASSERT_EQ(cobs_decode_inplace(buf.data(), buf.size()), c.payload.size());
    buf.resize(c.payload.size());
    EXPECT_EQ(buf, c.payload);
}

Bytes run(size_t n, uint8_t first = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(first + i % 250);
    return b;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, CobsExamples,
    ::testing::Values(CobsCase{{0x11, 0x22, 0x00, 0x33}, {0x03, 0x11, 0x22, 0x02, 0x33}},
                      CobsCase{{0x00}, {0x01, 0x01}}, CobsCase{{0x00, 0x00}, {0x01, 0x01, 0x01}},
                      CobsCase{{}, {0x01}}, CobsCase{{0x11, 0x00}, {0x02, 0x11, 0x01}},
                      // 254 non-zero bytes fill one block with no implied zero after it.
                      CobsCase{run(254), concat({{0xFF}, run(254)})},
                      CobsCase{run(255), concat({{0xFF}, run(254), {0x02}, run(1, 5)})}));

TEST(CobsDecode, CodeBeyondTheEndIsRejected) {
    EXPECT_EQ(decode({0x05, 0x11, 0x22}), Bytes{});
    EXPECT_EQ(decode({0x02, 0x11, 0x00, 0x22}), Bytes{});  // a zero code byte
    EXPECT_EQ(decode({0x02, 0x11, 0x01}), (Bytes{0x11, 0x00}));
}

// A COBS stream over a scripted inner transport.
class CobsStreamTest : public ::testing::Test {
  protected:
    ScriptedTransport inner;
    aStream* s = nullptr;
    void SetUp() override {
        ASSERT_EQ(aStream_CreateCobsEncoding(ScriptedTransport::get, ScriptedTransport::put,
                                             ScriptedTransport::write, ScriptedTransport::del,
                                             &inner, &s),
                  aErrNone);
    }
    void TearDown() override {
        if (s) {
            EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        }
        EXPECT_EQ(inner.deletes, 1);
    }
    // Gets until the inner script is used up; returns the bytes and the codes other than the
    // pure polling aErrNotReady.
    Bytes drain(std::vector<aErr>* errors = nullptr) {
        Bytes out;
        int idle = 0;  // a completed frame answers aErrNotReady once before its bytes
        for (int i = 0; i < 1000 && idle < 2; ++i) {
            uint8_t b;
            aErr err = aStream_Read(s, &b, 1);
            if (err == aErrNone)
                out.push_back(b);
            else if (err != aErrNotReady && errors)
                errors->push_back(err);
            idle = err == aErrNotReady && inner.script.empty() ? idle + 1 : 0;
        }
        return out;
    }
};

TEST_F(CobsStreamTest, EmptyPacketFrame) {
    const Bytes packet = {0x04, 0x00};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    Bytes payload = {0x04, 0x00, crc8_create(packet.data(), 2)};
    Bytes frame = encode(payload);
    frame.push_back(0);
    EXPECT_EQ(inner.written, frame);
    EXPECT_EQ(inner.writeCalls.size(), 1u);
}

TEST_F(CobsStreamTest, FullPacketTravelsInOne33ByteFrame) {
    Bytes packet = {0x02, 28};
    for (int i = 0; i < 28; ++i) packet.push_back(uint8_t(i));  // includes a zero data byte
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    ASSERT_EQ(inner.writeCalls, std::vector<size_t>{33});
    EXPECT_EQ(inner.written.back(), 0);
    inner.bytes(inner.written);
    EXPECT_EQ(drain(), packet);
}

TEST_F(CobsStreamTest, PooledPacketsBecomeSeparateFramesAndSplitWritesJoin) {
    const Bytes two = {0x05, 0x01, 0xAA, 0x06, 0x02, 0x00, 0xBB};
    ASSERT_EQ(aStream_Write(s, two.data(), 4), aErrNone);  // one packet and a partial one
    ASSERT_EQ(aStream_Write(s, two.data() + 4, 3), aErrNone);
    EXPECT_EQ(inner.writeCalls.size(), 2u);
    inner.bytes(inner.written);
    EXPECT_EQ(drain(), two);
}

TEST_F(CobsStreamTest, FlippedBitIsReportedOnceThenNextFrameArrives) {
    const Bytes a = {0x07, 0x02, 0x10, 0x20};
    const Bytes b = {0x08, 0x01, 0x30};
    aStream_Write(s, a.data(), a.size());
    aStream_Write(s, b.data(), b.size());
    Bytes wire = inner.written;
    wire[2] ^= 0x04;  // inside the first frame
    inner.bytes(wire);
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), b);
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST_F(CobsStreamTest, NoiseBetweenFramesAndOverlongFramesAreDropped) {
    const Bytes a = {0x07, 0x01, 0x55};
    aStream_Write(s, a.data(), a.size());
    Bytes wire = {0, 0};                // empty frames are ignored
    wire.insert(wire.end(), 40, 0x11);  // an over-long frame
    wire.push_back(0);
    wire.insert(wire.end(), inner.written.begin(), inner.written.end());
    inner.bytes(wire);
    std::vector<aErr> errors;
    EXPECT_EQ(drain(&errors), a);
    EXPECT_EQ(errors, std::vector<aErr>{aErrPacket});
}

TEST_F(CobsStreamTest, MalformedBytesDoNotBlockLaterPackets) {
    const Bytes bad = {0x05, 29};  // a length above 28
    const Bytes good = {0x05, 0x01, 0x42};
    aStream_Write(s, bad.data(), bad.size());
    aStream_Write(s, good.data(), good.size());
    ASSERT_EQ(inner.writeCalls.size(), 1u);
    inner.bytes(inner.written);
    EXPECT_EQ(drain(), good);
}

TEST_F(CobsStreamTest, InnerFailuresReadAsNotReadyAndPutIsUnframed) {
    inner.code(aErrIO);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    const uint8_t one = 0x3F;
    ASSERT_EQ(aStream_Write(s, &one, 1), aErrNone);
    EXPECT_EQ(inner.written, Bytes{0x3F});
    EXPECT_EQ(inner.putCalls, 1u);
}

TEST(CobsCreate, NullOutPointer) {
    EXPECT_EQ(aStream_CreateCobsEncoding(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr),
              aErrParam);
}

}  // namespace
