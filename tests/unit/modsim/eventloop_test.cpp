// The simulator's event loop: timers in order, cancellation, and work posted from other threads
// (the virtual USB bus hands over received bytes this way).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "EventLoop.h"

using modsim::EventLoop;

TEST(ModsimEventLoop, RunsTimersInDeadlineOrderAndSkipsCancelledOnes) {
    EventLoop loop;
    std::vector<int> order;
    loop.after(30, [&] { order.push_back(3); });
    loop.after(10, [&] { order.push_back(1); });
    uint64_t dropped = loop.after(20, [&] { order.push_back(99); });
    loop.after(20, [&] { order.push_back(2); });
    loop.cancel(dropped);
    loop.after(40, [&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(ModsimEventLoop, RunsWorkPostedFromOtherThreadsOnItsOwnThread) {
    EventLoop loop;
    const std::thread::id loopThread = std::this_thread::get_id();
    int count = 0;  // touched only on the loop thread
    std::atomic<bool> wrongThread{false};
    constexpr int kThreads = 4, kEach = 250;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                loop.post([&] {
                    if (std::this_thread::get_id() != loopThread) wrongThread = true;
                    if (++count == kThreads * kEach) loop.stop();
                });
            }
        });
    }
    loop.after(5000, [&] { loop.stop(); });  // bound: never hang the test
    loop.run();
    for (auto& p : posters) p.join();
    EXPECT_EQ(count, kThreads * kEach);
    EXPECT_FALSE(wrongThread);
}
