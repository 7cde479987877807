// EventLoop: the simulator's single event thread: descriptors watched with poll(2) and one-shot
// timers on the monotonic clock. Everything the simulator does runs inside handlers called from
// run(), so simulator state needs no locks. Only the thread that calls run() may use it; wake()
// may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

namespace modsim {

class EventLoop {
  public:
    using FdHandler = std::function<void(short revents)>;

    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void watch(int fd, short events, FdHandler handler);
    void setEvents(int fd, short events);
    void unwatch(int fd);

    uint64_t after(uint64_t ms, std::function<void()> fn);
    void cancel(uint64_t timer);
    static uint64_t nowMs();

    // Runs a function on the loop thread soon; safe from any thread.
    void post(std::function<void()> fn);

    void run();
    void stop() { running_ = false; }

  private:
    struct Watch {
        short events;
        FdHandler handler;
    };
    std::map<int, Watch> watches_;
    std::multimap<uint64_t, std::pair<uint64_t, std::function<void()>>> timers_;
    uint64_t nextTimer_ = 1;
    bool running_ = false;
    int wakeFd_ = -1;
    std::vector<std::function<void()>> posted_;
    std::mutex postedLock_;
};

}  // namespace modsim
