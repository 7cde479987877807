// Packet FIFO benchmarks: put+get throughput on one FIFO, and the time from a put to the return of
// a waiter blocked in aPacketFifo_AwaitFirst for that packet (median and 99th percentile).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_PutGet(benchmark::State& state) {
    aPacketFifoId id = aPacketFifo_Create();
    const uint8_t data[28] = {3, 0x47, 0x20, 1, 2, 3};
    aPacket* packet = aPacket_CreateWithData(2, static_cast<uint8_t>(state.range(0)), data);
    for (auto _ : state) {
        aPacketFifo_Put(id, packet);
        aPacket* taken = aPacketFifo_Get(id);
        benchmark::DoNotOptimize(taken);
        aPacket_Destroy(&taken);
    }
    state.SetItemsProcessed(state.iterations());
    aPacket_Destroy(&packet);
    aPacketFifo_Destroy(&id);
}
BENCHMARK(BM_PutGet)->Arg(3)->Arg(28);

// Put a batch, then take it with filtered gets, as a reply search over a busy inbound FIFO does.
void BM_PutBatchGetFirst(benchmark::State& state) {
    aPacketFifoId id = aPacketFifo_Create();
    const int batch = static_cast<int>(state.range(0));
    uint8_t data[4] = {3, 0x47, 0x20, 0};
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            data[3] = static_cast<uint8_t>(i);
            aPacket* p = aPacket_CreateWithData(2, 4, data);
            aPacketFifo_Put(id, p);
            aPacket_Destroy(&p);
        }
        while (aPacket* p = aPacketFifo_GetFirst(
                   id, [](const aPacket*, void*) { return true; }, nullptr))
            aPacket_Destroy(&p);
    }
    state.SetItemsProcessed(state.iterations() * batch);
    aPacketFifo_Destroy(&id);
}
BENCHMARK(BM_PutBatchGetFirst)->Arg(64);

struct WakeShared {
    std::atomic<bool> entered{false};
};

bool sWakeProc(const aPacket* p, void* ref) {
    // The resident packet (tag 0) is shown first in every call: it tells the producer that the
    // waiter holds the FIFO's lock and will be asleep by the time the producer's put gets it.
    if (p->data[0] == 0) static_cast<WakeShared*>(ref)->entered.store(true);
    return p->data[0] == 1;
}

// Wake-up latency: put of a matching packet to return from aPacketFifo_AwaitFirst in another
// thread. Reported as the median and the 99th percentile in microseconds.
void BM_AwaitFirstWakeLatency(benchmark::State& state) {
    aPacketFifoId id = aPacketFifo_Create();
    const uint8_t resident[] = {0, 0};
    const uint8_t wanted[] = {1, 0};
    aPacket* residentPacket = aPacket_CreateWithData(2, 2, resident);
    aPacket* wantedPacket = aPacket_CreateWithData(2, 2, wanted);
    aPacketFifo_Put(id, residentPacket);

    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(state.max_iterations));
    WakeShared shared;
    std::atomic<Clock::rep> returnedAt{0};
    std::atomic<bool> quit{false};
    std::atomic<int> rounds{0};

    std::thread waiter([&] {
        while (!quit.load()) {
            aPacket* p = aPacketFifo_AwaitFirst(id, sWakeProc, &shared, 2000);
            if (!p) continue;
            returnedAt.store(Clock::now().time_since_epoch().count());
            aPacket_Destroy(&p);
            rounds.fetch_add(1);
        }
    });

    int done = 0;
    for (auto _ : state) {
        while (!shared.entered.load()) std::this_thread::yield();
        shared.entered.store(false);
        Clock::time_point t0 = Clock::now();
        aPacketFifo_Put(id, wantedPacket);
        ++done;
        while (rounds.load() < done) std::this_thread::yield();
        Clock::time_point t1{Clock::duration(returnedAt.load())};
        double us = std::chrono::duration<double, std::micro>(t1 - t0).count();
        samples.push_back(us);
        state.SetIterationTime(us * 1e-6);
    }
    quit.store(true);
    aPacketFifo_Destroy(&id);  // releases the waiter at once
    waiter.join();

    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    }
    aPacket_Destroy(&residentPacket);
    aPacket_Destroy(&wantedPacket);
}
BENCHMARK(BM_AwaitFirstWakeLatency)
    ->UseManualTime()
    ->Iterations(5000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
