#include "EventLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace modsim {

EventLoop::EventLoop() {
    wakeFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0) {
        watch(wakeFd_, POLLIN, [this](short) {
            uint64_t v;
            while (::read(wakeFd_, &v, sizeof v) > 0) {
            }
            std::vector<std::function<void()>> fns;
            {
                std::lock_guard<std::mutex> g(postedLock_);
                fns.swap(posted_);
            }
            for (auto& f : fns) f();
        });
    }
}

EventLoop::~EventLoop() {
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void EventLoop::watch(int fd, short events, FdHandler handler) {
    watches_[fd] = Watch{events, std::move(handler)};
}

void EventLoop::setEvents(int fd, short events) {
    auto it = watches_.find(fd);
    if (it != watches_.end()) it->second.events = events;
}

void EventLoop::unwatch(int fd) {
    watches_.erase(fd);
}

uint64_t EventLoop::nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

uint64_t EventLoop::after(uint64_t ms, std::function<void()> fn) {
    uint64_t id = nextTimer_++;
    timers_.emplace(nowMs() + ms, std::make_pair(id, std::move(fn)));
    return id;
}

void EventLoop::cancel(uint64_t timer) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->second.first == timer) {
            timers_.erase(it);
            return;
        }
    }
}

void EventLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> g(postedLock_);
        posted_.push_back(std::move(fn));
    }
    uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void EventLoop::run() {
    running_ = true;
    std::vector<pollfd> fds;
    while (running_) {
        int timeout = -1;
        if (!timers_.empty()) {
            uint64_t now = nowMs(), due = timers_.begin()->first;
            timeout = due <= now ? 0 : int(std::min<uint64_t>(due - now, 60000));
        }
        fds.clear();
        for (auto& w : watches_) fds.push_back(pollfd{w.first, w.second.events, 0});
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        for (const pollfd& p : fds) {
            if (!running_) break;
            if (p.revents == 0) continue;
            auto it = watches_.find(p.fd);
            if (it == watches_.end()) continue;  // removed by an earlier handler
            FdHandler h = it->second.handler;    // the handler may unwatch itself
            h(p.revents);
        }
        uint64_t now = nowMs();
        while (running_ && !timers_.empty() && timers_.begin()->first <= now) {
            auto fn = std::move(timers_.begin()->second.second);
            timers_.erase(timers_.begin());
            fn();
        }
    }
    running_ = false;
}

}  // namespace modsim
