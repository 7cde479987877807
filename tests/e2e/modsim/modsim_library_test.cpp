// The library's own transports against hvmodsim: its socket stream and its COBS serial stream
// reach a simulated module and get the module's answers. Each side's codec is tested against
// the wire examples separately; this shows the two also meet.
#include <gtest/gtest.h>

#include "SimProcess.h"
#include "transport/aStream.h"
#include "transport/aStreamSerial.h"
#include "transport/aStreamSocket.h"

using namespace modsimtest;

namespace {

// Reads `n` bytes with the stream's get, waiting at most `limitMs` in all.
Bytes readBytes(aStream* s, size_t n, uint64_t limitMs = 1000) {
    Bytes out;
    uint64_t t0 = nowMs();
    while (out.size() < n && nowMs() - t0 < limitMs) {
        uint8_t b = 0;
        aErr e = s->get(&b, s->ref);
        if (e == aErrNone) {
            out.push_back(b);
        } else if (aStream_WaitReadable(s, 20) != aErrNone) {
            usleep(2000);
        }
    }
    return out;
}

}  // namespace

TEST(ModsimLibrary, SocketStreamReachesTheModule) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=4"}));
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(inet_addr("127.0.0.1"), sim.tcpPort("40F5849A"), &s), aErrNone);
    Bytes req{0xAD, 0x00, 0x04, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(s, req.data(), req.size()), aErrNone);
    EXPECT_EQ(readBytes(s, 11),
              (Bytes{0x04, 0x00, 0x04, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    aStream_Destroy(&s);
}

TEST(ModsimLibrary, CobsSerialStreamReachesTheModule) {
    SimProcess sim;
    ASSERT_TRUE(sim.start({"--module", "serial=40F5849A,address=4,link=serial"}));
    aStream* s = nullptr;
    ASSERT_EQ(
        aStream_CreateSerial_Packetized(sim.where("40F5849A", "pty").c_str(), 6, false, 0, 0, &s),
        aErrNone);
    // Two packets in one write become two frames.
    Bytes req{0xAD, 0x00, 0x04, 0x03, 0x03, 0x49, 0x20};
    ASSERT_EQ(aStream_Write(s, req.data(), req.size()), aErrNone);
    EXPECT_EQ(readBytes(s, 11),
              (Bytes{0x04, 0x00, 0x04, 0x07, 0x03, 0x09, 0x00, 0x40, 0xF5, 0x84, 0x9A}));
    aStream_Destroy(&s);
}
