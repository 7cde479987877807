// The link engine against a scripted module on a SOCK_SEQPACKET socketpair: the peer sees every
// write of the link as one message and sends the bytes a module would.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

#include "engine/aLink.h"
#include "link_peer.h"

using linktest::Bytes;
using linktest::Framing;
using linktest::Peer;

namespace {

const Bytes kMagic{0xAD, 0x00};
const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};

int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

bool sAny(const aPacket*, void*) {
    return true;
}

class LinkEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        aStream* stream = nullptr;
        int fd = linktest::makeSeqPacketPair(&stream);
        ASSERT_GE(fd, 0);
        peer = std::make_unique<Peer>(fd, Framing::Writes);
        id = aLink_Create(stream);
        ASSERT_NE(id, 0u);
        link = aLink_GetRecord(id);
        ASSERT_TRUE(aVALIDLINK(link));
        ASSERT_EQ(peer->next(1000), kRouteOn);
    }
    void TearDown() override {
        if (id) {
            EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        }
        peer.reset();
    }

    // Takes six magic packets, each in a write of its own.
    void expectSixMagic() {
        for (int i = 0; i < 6; ++i) {
            ASSERT_EQ(peer->next(1000), kMagic) << "magic packet " << i;
        }
    }

    // Puts the link out of step with an odd address and waits for its magic packets.
    void desync() {
        peer->sendRaw({0x05, 0x00});
        ASSERT_TRUE(peer->waitFor(kMagic, 1000));
        ASSERT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    }

    std::unique_ptr<Peer> peer;
    uint32_t id = 0;
    aLink* link = nullptr;
};

TEST_F(LinkEngine, StartedLinkRunsBeforeAnyByte) {
    // SetUp took the route packet; the module has sent nothing.
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkEngine, ForcedSyncSendsSixMagicPacketsAndCompletesOnTwoAnswers) {
    auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
    expectSixMagic();
    peer->sendRaw({0x04, 0x00, 0x04, 0x00});
    EXPECT_EQ(sync.get(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
}

TEST_F(LinkEngine, AnswersFromTwoAddressesDoNotCompleteTheSync) {
    auto sync = std::async(std::launch::async, [this] { return aLink_Sync(id); });
    expectSixMagic();
    peer->sendRaw({0x04, 0x00, 0x06, 0x00});
    // The mismatch falls back to the start: the next byte or empty read sends six more.
    expectSixMagic();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    peer->sendRaw({0x06, 0x00, 0x06, 0x00});
    EXPECT_EQ(sync.get(), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
}

TEST_F(LinkEngine, OddAddressResyncsAndQueuesNothing) {
    peer->sendRaw({0x05, 0x01, 0x07});
    ASSERT_TRUE(peer->waitFor(kMagic, 1000));
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
    peer->sendRaw({0x04, 0x00, 0x04, 0x00});
    // Back in step, packets are delivered again; nothing of the odd packet was queued.
    peer->sendRaw({0x04, 0x01, 0x42});
    aPacket* p = aLink_AwaitPacket(id, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x04);
    ASSERT_EQ(p->dataSize, 1);
    EXPECT_EQ(p->data[0], 0x42);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
}

TEST_F(LinkEngine, HeartbeatsAreAnsweredAndNotQueued) {
    struct Case {
        Bytes heartbeat, answer;
    };
    const Case cases[] = {
        {{0x04, 0x02, 0x00, 0x01}, {0x04, 0x02, 0x00, 0x03}},  // heartbeat down
        {{0x04, 0x02, 0x00, 0x00}, {0x04, 0x02, 0x00, 0x02}},  // heartbeat up
        {{0x08, 0x02, 0x00, 0xFF}, {0x08, 0x02, 0x00, 0x01}},  // 8-bit sum
    };
    for (const Case& c : cases) {
        peer->sendRaw(c.heartbeat);
        EXPECT_EQ(peer->next(1000), c.answer);
    }
    // Three data bytes starting with 0 are not a heartbeat.
    peer->sendRaw({0x04, 0x03, 0x00, 0x01, 0x02});
    aPacket* p = aLink_AwaitPacket(id, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->dataSize, 3);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_GetPacket(id), nullptr);
    EXPECT_EQ(peer->next(50), std::nullopt);
}

struct FilterLog {
    std::mutex lock;
    std::condition_variable seen;
    std::vector<Bytes> packets;
    bool consume = true;
};

bool sRecordingFilter(const aPacket* p, void* ref) {
    auto* log = static_cast<FilterLog*>(ref);
    std::lock_guard<std::mutex> hold(log->lock);
    log->packets.push_back(Bytes(p->data, p->data + p->dataSize));
    log->seen.notify_all();
    return log->consume;
}

TEST_F(LinkEngine, UserFilterSeesHeartbeatsAndAConsumingOneSuppressesTheAnswer) {
    FilterLog log;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, sRecordingFilter, &log), aErrNone);
    peer->sendRaw({0x04, 0x02, 0x00, 0x01});
    peer->sendRaw({0x04, 0x01, 0x33});
    {
        // Both packets went through the filter, so the heartbeat is fully handled.
        std::unique_lock<std::mutex> hold(log.lock);
        ASSERT_TRUE(log.seen.wait_for(hold, std::chrono::seconds(1),
                                      [&] { return log.packets.size() == 2; }));
    }
    aPacket* marker = aPacket_CreateWithData(0x04, 1, std::array<uint8_t, 1>{0x55}.data());
    ASSERT_EQ(aLink_PutPacket(id, marker), aErrNone);
    aPacket_Destroy(&marker);
    EXPECT_EQ(peer->next(1000), (Bytes{0x04, 0x01, 0x55}));  // no answer went before it
    EXPECT_EQ(aLink_GetPacket(id), nullptr);

    // A filter that lets packets pass still sees heartbeats, and they are answered.
    {
        std::lock_guard<std::mutex> hold(log.lock);
        log.consume = false;
    }
    peer->sendRaw({0x04, 0x02, 0x00, 0x00});
    EXPECT_EQ(peer->next(1000), (Bytes{0x04, 0x02, 0x00, 0x02}));
    ASSERT_EQ(aLink_InstallUserPacketFilter(id, nullptr, nullptr), aErrNone);
    std::lock_guard<std::mutex> hold(log.lock);
    EXPECT_EQ(log.packets.back(), (Bytes{0x00, 0x00}));
}

TEST_F(LinkEngine, AwaitFirstOnASyncingLinkReturnsAtOnce) {
    desync();
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id, sAny, nullptr, 5000), nullptr);
    EXPECT_LT(msSince(t), 200);
}

TEST_F(LinkEngine, AwaitFirstTakesTheMatchingPacket) {
    peer->sendRaw({0x04, 0x01, 0x01});
    peer->sendRaw({0x06, 0x01, 0x02});
    auto from6 = [](const aPacket* p, void*) { return p->address == 0x06; };
    aPacket* p = aLink_AwaitFirst(id, from6, nullptr, 1000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[0], 0x02);
    aPacket_Destroy(&p);
    EXPECT_EQ(aLink_DrainPackets(id, sAny, nullptr), 1u);
}

TEST_F(LinkEngine, PooledSendingPacksAsManyPacketsAsFitInOneWrite) {
    ASSERT_EQ(aLink_EnablePooledPackets(id, true), aErrNone);
    ASSERT_EQ(aLink_Stop(link), aErrNone);
    ASSERT_TRUE(peer->waitFor(kRouteOff, 1000));
    // Queued while the threads are stopped, so all 200 wait when the send thread starts.
    uint8_t data[28];
    for (int i = 0; i < 200; ++i) {
        for (int j = 0; j < 28; ++j) data[j] = static_cast<uint8_t>(i + j);
        aPacket* p = aPacket_CreateWithData(0x04, 28, data);
        ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
    }
    ASSERT_EQ(aLink_Start(id), aErrNone);
    auto first = peer->next(1000);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->size(), 136u * 30u);
    for (size_t k = 0; k < 136; ++k) {
        EXPECT_EQ((*first)[k * 30], 0x04);
        EXPECT_EQ((*first)[k * 30 + 1], 28);
        EXPECT_EQ((*first)[k * 30 + 2], static_cast<uint8_t>(k));
    }
    // The other 64 and the route packet follow in later writes, in order.
    Bytes rest;
    while (rest.size() < 64u * 30u + 3u) {
        auto more = peer->next(1000);
        ASSERT_TRUE(more);
        rest.insert(rest.end(), more->begin(), more->end());
    }
    EXPECT_EQ(rest[2], 136);
    EXPECT_EQ(Bytes(rest.end() - 3, rest.end()), kRouteOn);
}

TEST_F(LinkEngine, StopWritesWhatIsQueuedAndEndsWithTheRouteOffPacket) {
    aPacket* p = aPacket_CreateWithData(0x04, 1, std::array<uint8_t, 1>{0x77}.data());
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
    auto t = std::chrono::steady_clock::now();
    ASSERT_EQ(aLink_Stop(link), aErrNone);
    EXPECT_LT(msSince(t), 500);  // an idle link notices the stop promptly
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusStopped);
    EXPECT_EQ(aLink_Stop(link), aErrNone);  // nothing left to do
    // The threads are joined: every write has reached the socket.
    auto writes = peer->settle(100, 1000);
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), kRouteOff);
}

TEST_F(LinkEngine, SyncWithASilentModuleGivesUpAfterTwoSecondsWithEmptyFifos) {
    auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(aLink_Sync(id), aErrNotReady);
    int64_t took = msSince(t);
    EXPECT_GE(took, 1900);
    EXPECT_LT(took, 3500);
    EXPECT_EQ(aPacketFifo_GetLength(link->inFifo), 0u);
    // The link keeps trying while it is out of step; what it queues leaves at once.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (aPacketFifo_GetLength(link->outFifo) != 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    EXPECT_EQ(aPacketFifo_GetLength(link->outFifo), 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusSyncing);
}

TEST_F(LinkEngine, ReadErrorsShowAsIOErrorAndTheLinkStaysUsableForStop) {
    peer->close();  // the link's reads now fail
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (aLink_GetStatus(id) != kLinkStatusIOError && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusIOError);
    EXPECT_EQ(aLink_AwaitFirst(id, sAny, nullptr, 5000), nullptr);
    EXPECT_EQ(aLink_Stop(link), aErrNone);
}

TEST(LinkEngineIds, UnknownIdsAreAnsweredWithoutBlocking) {
    const uint32_t unknown = 0xFFFF0000u;
    uint8_t one = 1;
    aPacket* p = aPacket_CreateWithData(0x04, 1, &one);
    EXPECT_EQ(aLink_GetStatus(unknown), kLinkStatusNoStream);
    EXPECT_EQ(aLink_PutPacket(unknown, p), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(unknown, 1000), nullptr);
    EXPECT_EQ(aLink_GetFirst(unknown, sAny, nullptr), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(unknown, sAny, nullptr, 1000), nullptr);
    EXPECT_EQ(aLink_DrainPackets(unknown, sAny, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, sAny, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
    EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
    aPacket_Destroy(&p);
}

}  // namespace
