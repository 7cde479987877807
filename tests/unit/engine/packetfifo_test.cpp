#include "engine/packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A packet from address 2 whose data is {tag, 0}.
aPacket* tagged(uint8_t tag) {
    const uint8_t data[] = {tag, 0};
    return aPacket_CreateWithData(2, 2, data);
}

aErr putTag(aPacketFifoId id, uint8_t tag) {
    aPacket* p = tagged(tag);
    aErr err = aPacketFifo_Put(id, p);
    aPacket_Destroy(&p);
    return err;
}

// Takes a packet and returns its tag (-1 for none), destroying the packet.
int tagOf(aPacket* p) {
    if (!p) return -1;
    int tag = p->data[0];
    aPacket_Destroy(&p);
    return tag;
}

std::vector<int> drainTags(aPacketFifoId id) {
    std::vector<int> tags;
    while (aPacket* p = aPacketFifo_Get(id)) tags.push_back(tagOf(p));
    return tags;
}

bool isTag(const aPacket* p, void* ref) {
    return p->data[0] == *static_cast<uint8_t*>(ref);
}
bool always(const aPacket*, void*) {
    return true;
}
bool never(const aPacket*, void*) {
    return false;
}
bool isEven(const aPacket* p, void*) {
    return p->data[0] % 2 == 0;
}

class PacketFifo : public ::testing::Test {
  protected:
    void SetUp() override {
        id = aPacketFifo_Create();
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id) {
            EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        }
    }
    aPacketFifoId id = 0;
};

TEST_F(PacketFifo, PutGetKeepsOrderAndHandsOutCopies) {
    aPacket* mine = tagged(7);
    ASSERT_EQ(aPacketFifo_Put(id, mine), aErrNone);
    for (uint8_t t = 8; t < 11; ++t) ASSERT_EQ(putTag(id, t), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 4u);

    aPacket* taken = aPacketFifo_Get(id);
    ASSERT_NE(taken, nullptr);
    EXPECT_NE(taken, mine);
    aPacket_Destroy(&taken);
    EXPECT_TRUE(aVALIDPACKET(mine));  // the caller's packet is untouched
    EXPECT_EQ(mine->data[0], 7);
    aPacket_Destroy(&mine);

    EXPECT_EQ(drainTags(id), (std::vector<int>{8, 9, 10}));
    EXPECT_EQ(aPacketFifo_Get(id), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(PacketFifo, RefusesInvalidPackets) {
    aPacket bad = {};
    EXPECT_EQ(aPacketFifo_Put(id, &bad), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(id, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST(PacketFifoIds, UnknownAndDestroyedIds) {
    aPacketFifoId id = aPacketFifo_Create();
    aPacketFifoId other = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, other);
    ASSERT_EQ(putTag(id, 1), aErrNone);
    const aPacketFifoId gone = id;
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);

    uint8_t tag = 1;
    for (aPacketFifoId unknown : {aPacketFifoId{0}, gone}) {
        SCOPED_TRACE(unknown);
        EXPECT_EQ(aPacketFifo_GetLength(unknown), 0u);
        EXPECT_EQ(putTag(unknown, 1), aErrParam);
        EXPECT_EQ(aPacketFifo_Get(unknown), nullptr);
        EXPECT_EQ(aPacketFifo_Await(unknown, 0), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(unknown, always, nullptr), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(unknown, isTag, &tag, 0), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(unknown, always, nullptr), 0u);
    }
    // A different FIFO is not disturbed.
    EXPECT_EQ(putTag(other, 2), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(other), 1u);
    EXPECT_EQ(aPacketFifo_Destroy(&other), aErrNone);
}

TEST_F(PacketFifo, OverflowEmptiesTheQueue) {
    for (size_t i = 0; i < kPacketFifoLimit; ++i)
        ASSERT_EQ(putTag(id, static_cast<uint8_t>(i)), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), kPacketFifoLimit);
    EXPECT_EQ(putTag(id, 0xAA), aErrNone);  // the 1001st
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
    EXPECT_EQ(putTag(id, 0xBB), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
    // The filtered wait still sees the packet queued after the reset.
    uint8_t want = 0xBB;
    EXPECT_EQ(tagOf(aPacketFifo_AwaitFirst(id, isTag, &want, 0)), 0xBB);
}

// A run goes in whole and in order behind what is queued; an invalid member refuses all of it.
TEST_F(PacketFifo, PutRunQueuesAllOrNothingInOrder) {
    ASSERT_EQ(putTag(id, 1), aErrNone);
    std::vector<aPacket*> run;
    for (uint8_t t = 2; t < 6; ++t) run.push_back(tagged(t));
    EXPECT_EQ(aPacketFifo_PutRun(id, run.data(), run.size()), aErrNone);
    aPacket bad = {};
    std::vector<const aPacket*> spoiled = {run[0], &bad, run[1]};
    EXPECT_EQ(aPacketFifo_PutRun(id, spoiled.data(), spoiled.size()), aErrParam);
    EXPECT_EQ(aPacketFifo_PutRun(id, nullptr, 0), aErrNone);
    EXPECT_EQ(aPacketFifo_PutRun(0, run.data(), run.size()), aErrParam);
    for (aPacket*& p : run) aPacket_Destroy(&p);
    EXPECT_EQ(drainTags(id), (std::vector<int>{1, 2, 3, 4, 5}));
}

// A taker woken by a run finds the whole run there, never its first packet alone.
TEST_F(PacketFifo, ATakerWokenByARunFindsAllOfIt) {
    constexpr size_t kRun = 22;
    std::vector<aPacket*> run;
    for (size_t t = 0; t < kRun; ++t) run.push_back(tagged(uint8_t(t)));
    for (int round = 0; round < 50; ++round) {
        std::future<size_t> taker = std::async(std::launch::async, [this] {
            aPacket* first = aPacketFifo_Await(id, 2000);
            const size_t rest = aPacketFifo_GetLength(id);
            aPacket_Destroy(&first);
            return rest;
        });
        ASSERT_EQ(aPacketFifo_PutRun(id, run.data(), run.size()), aErrNone);
        EXPECT_EQ(taker.get(), kRun - 1);
        drainTags(id);
    }
    for (aPacket*& p : run) aPacket_Destroy(&p);
}

TEST_F(PacketFifo, GetFirstTakesOldestMatch) {
    for (uint8_t t : {1, 2, 3, 4}) putTag(id, t);
    EXPECT_EQ(tagOf(aPacketFifo_GetFirst(id, isEven, nullptr)), 2);
    uint8_t missing = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(id, isTag, &missing), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(id, nullptr, nullptr), nullptr);
    EXPECT_EQ(drainTags(id), (std::vector<int>{1, 3, 4}));
}

TEST_F(PacketFifo, DrainPacketsKeepsOrder) {
    for (uint8_t t = 1; t <= 8; ++t) putTag(id, t);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, never, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, nullptr, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, isEven, nullptr), 4u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 4u);
    // A filtered wait after the drain sees the survivors, oldest first.
    uint8_t want = 5;
    EXPECT_EQ(tagOf(aPacketFifo_AwaitFirst(id, isTag, &want, 0)), 5);
    EXPECT_EQ(drainTags(id), (std::vector<int>{1, 3, 7}));

    for (uint8_t t = 1; t <= 5; ++t) putTag(id, t);
    EXPECT_EQ(aPacketFifo_DrainPackets(id, always, nullptr), 5u);
    EXPECT_EQ(aPacketFifo_GetLength(id), 0u);
}

TEST_F(PacketFifo, AwaitTimesOut) {
    auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 0), nullptr);
    uint8_t want = 1;
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, isTag, &want, 0), nullptr);
    // No wait at all; the generous bound only allows for a busy machine.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));

    start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(id, 60), nullptr);
    auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(60));
    EXPECT_LT(waited, std::chrono::seconds(5));

    // A non-matching packet does not end the filtered wait early.
    putTag(id, 2);
    start = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(id, isTag, &want, 60), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);

    // A queued packet is handed out at once, even with no time to wait.
    EXPECT_EQ(tagOf(aPacketFifo_Await(id, 0)), 2);
}

// Records every packet a filtered wait shows to its predicate and lets the test wait until a
// given number of calls have happened. Because the predicate runs under the FIFO's lock, once
// it has been called the waiter cannot miss a later put or destroy: those need that lock, which
// the waiter gives up only when it sleeps.
struct Observer {
    std::mutex m;
    std::condition_variable cv;
    std::vector<int> seen;
    uint8_t want = 0xFF;

    static bool proc(const aPacket* p, void* ref) {
        auto* self = static_cast<Observer*>(ref);
        {
            std::lock_guard<std::mutex> g(self->m);
            self->seen.push_back(p->data[0]);
        }
        self->cv.notify_all();
        return p->data[0] == self->want;
    }
    void awaitCalls(size_t n) {
        std::unique_lock<std::mutex> g(m);
        ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(10), [&] { return seen.size() >= n; }));
    }
    std::vector<int> calls() {
        std::lock_guard<std::mutex> g(m);
        return seen;
    }
};

TEST_F(PacketFifo, AwaitFirstShowsEachPacketOnce) {
    Observer obs;
    obs.want = 100;
    for (uint8_t t : {1, 2, 3}) putTag(id, t);
    auto waiter = std::async(std::launch::async, [&] {
        return tagOf(aPacketFifo_AwaitFirst(id, Observer::proc, &obs, 10000));
    });
    obs.awaitCalls(3);
    // Each arrival wakes the waiter on its own; older packets must not be shown again.
    for (uint8_t t = 4; t <= 7; ++t) {
        ASSERT_EQ(putTag(id, t), aErrNone);
        obs.awaitCalls(t);
    }
    // Another consumer taking packets from the front while the waiter sleeps changes nothing.
    EXPECT_EQ(tagOf(aPacketFifo_Get(id)), 1);
    ASSERT_EQ(putTag(id, 8), aErrNone);
    obs.awaitCalls(8);
    ASSERT_EQ(putTag(id, 100), aErrNone);
    EXPECT_EQ(waiter.get(), 100);
    EXPECT_EQ(obs.calls(), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 100}));
    EXPECT_EQ(drainTags(id), (std::vector<int>{2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(PacketFifo, AwaitWokenByPutFromAnotherThread) {
    auto start = Clock::now();
    auto waiter =
        std::async(std::launch::async, [&] { return tagOf(aPacketFifo_Await(id, 10000)); });
    std::thread producer([&] { putTag(id, 42); });
    producer.join();
    EXPECT_EQ(waiter.get(), 42);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST_F(PacketFifo, AwaitFirstWokenByMatchingPut) {
    Observer obs;
    obs.want = 9;
    putTag(id, 1);
    auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [&] {
        return tagOf(aPacketFifo_AwaitFirst(id, Observer::proc, &obs, 10000));
    });
    obs.awaitCalls(1);  // the waiter is inside its wait now
    std::thread producer([&] { putTag(id, 9); });
    producer.join();
    EXPECT_EQ(waiter.get(), 9);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(aPacketFifo_GetLength(id), 1u);
}

TEST_F(PacketFifo, PutWakesEveryWaiter) {
    // Two filtered waiters for different packets: a put must reach the one it is for, whichever
    // of them happens to wake first.
    Observer first, second;
    first.want = 10;
    second.want = 20;
    putTag(id, 1);
    auto start = Clock::now();
    auto a = std::async(std::launch::async, [&] {
        return tagOf(aPacketFifo_AwaitFirst(id, Observer::proc, &first, 10000));
    });
    auto b = std::async(std::launch::async, [&] {
        return tagOf(aPacketFifo_AwaitFirst(id, Observer::proc, &second, 10000));
    });
    first.awaitCalls(1);
    second.awaitCalls(1);
    ASSERT_EQ(putTag(id, 20), aErrNone);
    EXPECT_EQ(b.get(), 20);
    ASSERT_EQ(putTag(id, 10), aErrNone);
    EXPECT_EQ(a.get(), 10);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(drainTags(id), (std::vector<int>{1}));
}

TEST(PacketFifoDestroy, ReleasesWaitersPromptly) {
    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    Observer obs;
    obs.want = 200;
    putTag(id, 1);
    auto start = Clock::now();
    auto filtered = std::async(std::launch::async, [&] {
        return aPacketFifo_AwaitFirst(id, Observer::proc, &obs, 20000);
    });
    obs.awaitCalls(1);
    const aPacketFifoId copy = id;
    std::thread killer([&] { EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone); });
    killer.join();
    EXPECT_EQ(filtered.get(), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
    EXPECT_EQ(putTag(copy, 1), aErrParam);
}

TEST(PacketFifoDestroy, ReleasesPlainAwait) {
    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    auto start = Clock::now();
    std::atomic<bool> started{false};
    auto waiter = std::async(std::launch::async, [&] {
        started = true;
        return aPacketFifo_Await(id, 20000);
    });
    while (!started) std::this_thread::yield();
    // Nothing observable says the waiter is asleep yet; give it a moment. Either way it must
    // come back with null long before its 20 s limit.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(waiter.get(), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(PacketFifoThreads, ProducersAndConsumersLoseNothing) {
    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    constexpr int kProducers = 3, kPerProducer = 300, kConsumers = 3;
    std::mutex m;
    std::multiset<int> received;
    std::atomic<int> total{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            while (total < kProducers * kPerProducer) {
                aPacket* p = (c == 0) ? aPacketFifo_GetFirst(id, always, nullptr)
                                      : aPacketFifo_Await(id, 20);
                if (!p) continue;
                int value = p->data[0] * 256 + p->data[1];
                aPacket_Destroy(&p);
                std::lock_guard<std::mutex> g(m);
                received.insert(value);
                ++total;
            }
        });
    }
    for (int pr = 0; pr < kProducers; ++pr) {
        threads.emplace_back([&, pr] {
            for (int i = 0; i < kPerProducer; ++i) {
                int value = pr * 1000 + i;
                const uint8_t data[] = {static_cast<uint8_t>(value >> 8),
                                        static_cast<uint8_t>(value)};
                aPacket* p = aPacket_CreateWithData(2, 2, data);
                EXPECT_EQ(aPacketFifo_Put(id, p), aErrNone);
                aPacket_Destroy(&p);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(received.size(), static_cast<size_t>(kProducers * kPerProducer));
    for (int pr = 0; pr < kProducers; ++pr)
        for (int i = 0; i < kPerProducer; ++i) EXPECT_EQ(received.count(pr * 1000 + i), 1u);
    EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
}

TEST(PacketFifoThreads, DestroyRacingWithUsers) {
    // Callers inside a FIFO while another thread destroys it must neither crash nor leak.
    for (int round = 0; round < 20; ++round) {
        aPacketFifoId id = aPacketFifo_Create();
        ASSERT_NE(id, 0u);
        const aPacketFifoId fixed = id;
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        users.emplace_back([&] {
            while (!stop) putTag(fixed, 1);
        });
        users.emplace_back([&] {
            while (!stop) {
                aPacket* p = aPacketFifo_Await(fixed, 5);
                if (p) aPacket_Destroy(&p);
            }
        });
        users.emplace_back([&] {
            uint8_t want = 2;
            while (!stop) {
                aPacket* p = aPacketFifo_AwaitFirst(fixed, isTag, &want, 5);
                if (p) aPacket_Destroy(&p);
                aPacketFifo_DrainPackets(fixed, isEven, nullptr);
            }
        });
        std::this_thread::yield();
        EXPECT_EQ(aPacketFifo_Destroy(&id), aErrNone);
        stop = true;
        for (auto& t : users) t.join();
        EXPECT_EQ(aPacketFifo_GetLength(fixed), 0u);
    }
}

}  // namespace
