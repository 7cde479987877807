// packetfifo: the FIFO service over a dictionary of shared-ownership queues.
//
// The dictionary maps ids to shared references; every operation copies the reference out under the
// dictionary lock and releases that lock before it takes the FIFO's own lock. A FIFO removed from
// the dictionary while a caller is inside it (waiting, say) stays alive until that caller leaves.
#include "engine/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct aPacketDeleter {
    void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};
using PacketOwner = std::unique_ptr<aPacket, aPacketDeleter>;

// One queued packet with the sequence id it got when it was put.
class SerialPacket {
  public:
    SerialPacket(int64_t id, PacketOwner packet) : id_(id), packet_(std::move(packet)) {}
    int64_t getId() const { return id_; }
    const aPacket* getPacket() const { return packet_.get(); }
    // Gives up the packet; the element is erased right after.
    aPacket* releasePacket() { return packet_.release(); }

  private:
    int64_t id_;
    PacketOwner packet_;
};

struct packetFifo {
    using Queue = std::deque<SerialPacket>;

    Queue queue;
    std::condition_variable signal;  // notified when a packet is queued and when destroyed
    std::mutex lock;                 // guards queue, window and nextId
    std::atomic<bool> alive{true};
    std::atomic<int64_t> window{0};  // sequence id of the front packet, nextId when empty
    std::atomic<int64_t> nextId{0};  // sequence id of the next packet put

    // The following run under `lock`.
    void syncWindow() { window = queue.empty() ? nextId.load() : queue.front().getId(); }
    void clearAndSyncWindow() {
        queue.clear();
        syncWindow();
    }
    void eraseAndSyncWindow(Queue::iterator it) {
        queue.erase(it);
        syncWindow();
    }
};

using FifoRef = std::shared_ptr<packetFifo>;

// The id counter is constant-initialised and needs no teardown.
std::atomic<uint64_t> gpSequentialId{1};

// The dictionary and its lock are made on first use and deliberately never destroyed: objects
// with static lifetime elsewhere (a process-wide link table, say) may still retire their FIFOs
// from their destructors at exit, in an order no translation unit controls.
struct Dictionary {
    std::mutex gpPacketFifoDictionaryMutex;
    std::map<aPacketFifoId, FifoRef> gpPacketFifoDictionary;
};

Dictionary& sDictionary() {
    static Dictionary* const dictionary = new Dictionary;
    return *dictionary;
}

FifoRef sLookup(aPacketFifoId id) {
    Dictionary& d = sDictionary();
    std::lock_guard<std::mutex> guard(d.gpPacketFifoDictionaryMutex);
    auto it = d.gpPacketFifoDictionary.find(id);
    return it == d.gpPacketFifoDictionary.end() ? nullptr : it->second;
}

std::chrono::steady_clock::time_point sDeadline(uint32_t msTimeout) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(msTimeout);
}

// Takes the queued packet at `it` out of the FIFO and hands it to the caller. The queued packet is
// already the FIFO's own copy (made by Put) that nobody else can reach, so it is handed over
// as it is rather than copied once more: the receiver gets the same bytes without another
// allocation on the receive path. Runs under the FIFO's lock.
aPacket* _stealPacketFromFifo(packetFifo& fifo, packetFifo::Queue::iterator it) {
    aPacket* packet = it->releasePacket();
    fifo.eraseAndSyncWindow(it);
    return packet;
}

}  // namespace

aPacketFifoId aPacketFifo_Create() {
    try {
        auto fifo = std::make_shared<packetFifo>();
        aPacketFifoId id = gpSequentialId.fetch_add(1);
        if (id == 0) id = gpSequentialId.fetch_add(1);  // the counter wrapped: 0 names no FIFO
        Dictionary& d = sDictionary();
        std::lock_guard<std::mutex> guard(d.gpPacketFifoDictionaryMutex);
        return d.gpPacketFifoDictionary.emplace(id, std::move(fifo)).second ? id : 0;
    } catch (...) {
        return 0;
    }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
    if (!id) return aErrParam;
    try {
        FifoRef fifo;
        {
            Dictionary& d = sDictionary();
            std::lock_guard<std::mutex> guard(d.gpPacketFifoDictionaryMutex);
            auto it = d.gpPacketFifoDictionary.find(*id);
            if (it == d.gpPacketFifoDictionary.end()) return aErrNotFound;
            fifo = std::move(it->second);
            d.gpPacketFifoDictionary.erase(it);
        }
        {
            std::lock_guard<std::mutex> guard(fifo->lock);
            fifo->clearAndSyncWindow();
            fifo->alive = false;
        }
        fifo->signal.notify_all();
        *id = 0;
        return aErrNone;
    } catch (...) {
        return aErrUnknown;
    }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        return fifo->queue.size();
    } catch (...) {
        return 0;
    }
}

namespace {

// Queues the copies in order under one lock and wakes the waiters once.
aErr sQueueCopies(const FifoRef& fifo, PacketOwner* copies, size_t count) {
    {
        std::lock_guard<std::mutex> guard(fifo->lock);
        // A put racing with aPacketFifo_Destroy must not leave a packet in a retired FIFO.
        if (!fifo->alive) return aErrParam;
        for (size_t i = 0; i < count; ++i) {
            int64_t seq = fifo->nextId;
            fifo->queue.emplace_back(seq, std::move(copies[i]));
            fifo->nextId = seq + 1;
            // Nobody is reading: start afresh rather than grow without bound.
            if (fifo->queue.size() > kPacketFifoLimit) fifo->queue.clear();
        }
        fifo->syncWindow();
    }
    // Notified after the lock is released, so a woken waiter finds the lock free.
    fifo->signal.notify_all();
    return aErrNone;
}

}  // namespace

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
        // The copy is made before the lock is taken, to keep the time under it short.
        PacketOwner copy(aPacket_Copy(packet));
        if (!copy) return aErrParam;
        return sQueueCopies(fifo, &copy, 1);
    } catch (...) {
        return aErrResource;
    }
}

aErr aPacketFifo_PutRun(aPacketFifoId id, const aPacket* const* packets, size_t count) {
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo || (count != 0 && !packets)) return aErrParam;
        std::vector<PacketOwner> copies;
        copies.reserve(count);
        for (size_t i = 0; i < count; ++i) {
            if (!aVALIDPACKET(packets[i])) return aErrParam;
            copies.emplace_back(aPacket_Copy(packets[i]));
            if (!copies.back()) return aErrParam;
        }
        if (count == 0) return aErrNone;
        return sQueueCopies(fifo, copies.data(), count);
    } catch (...) {
        return aErrResource;
    }
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> guard(fifo->lock);
        if (fifo->queue.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t msTimeout) {
    try {
        const auto deadline = sDeadline(msTimeout);
        FifoRef fifo = sLookup(id);
        if (!fifo) return nullptr;
        std::unique_lock<std::mutex> guard(fifo->lock);
        fifo->signal.wait_until(guard, deadline,
                                [&] { return !fifo->queue.empty() || !fifo->alive; });
        if (fifo->queue.empty()) return nullptr;
        return _stealPacketFromFifo(*fifo, fifo->queue.begin());
    } catch (...) {
        return nullptr;
    }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketProc proc, void* ref) {
    if (!proc) return nullptr;
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo) return nullptr;
        std::lock_guard<std::mutex> guard(fifo->lock);
        for (auto it = fifo->queue.begin(); it != fifo->queue.end(); ++it)
            if (proc(it->getPacket(), ref)) return _stealPacketFromFifo(*fifo, it);
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

// The filtered wait: every packet queued at the start, and each one that arrives during the call,
// is shown to `proc` exactly once, until one matches, the FIFO is destroyed or the deadline passes.
static aPacket* _waitUntilProcIsSatisfied(packetFifo& fifo, aPacketProc proc, void* ref,
                                          std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> guard(fifo.lock);
    int64_t lastExamined = fifo.window - 1;
    bool found = false;
    packetFifo::Queue::iterator match;
    auto satisfied = [&] {
        if (!fifo.alive) return true;
        // Sequence ids increase from front to back, so the packets not yet examined are the
        // tail after the last examined id; find its start without walking the examined ones.
        auto it = std::upper_bound(
            fifo.queue.begin(), fifo.queue.end(), lastExamined,
            [](int64_t seq, const SerialPacket& queued) { return seq < queued.getId(); });
        for (; it != fifo.queue.end(); ++it) {
            lastExamined = it->getId();
            if (proc(it->getPacket(), ref)) {
                match = it;
                found = true;
                return true;
            }
        }
        return false;
    };
    fifo.signal.wait_until(guard, deadline, satisfied);
    if (!found || !fifo.alive) return nullptr;
    return _stealPacketFromFifo(fifo, match);
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketProc proc, void* ref, uint32_t msTimeout) {
    if (!proc) return nullptr;
    try {
        const auto deadline = sDeadline(msTimeout);
        FifoRef fifo = sLookup(id);
        if (!fifo) return nullptr;
        return _waitUntilProcIsSatisfied(*fifo, proc, ref, deadline);
    } catch (...) {
        return nullptr;
    }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketProc proc, void* ref) {
    if (!proc) return 0;
    try {
        FifoRef fifo = sLookup(id);
        if (!fifo) return 0;
        std::lock_guard<std::mutex> guard(fifo->lock);
        auto& queue = fifo->queue;
        // The predicate is asked about every packet before anything moves, so a predicate that
        // throws leaves the queue as it was.
        std::vector<bool> drop(queue.size());
        size_t removed = 0;
        for (size_t i = 0; i < queue.size(); ++i)
            if ((drop[i] = proc(queue[i].getPacket(), ref))) ++removed;
        if (removed == 0) return 0;
        size_t kept = 0;
        for (size_t i = 0; i < queue.size(); ++i) {
            if (drop[i]) continue;
            if (kept != i) queue[kept] = std::move(queue[i]);
            ++kept;
        }
        queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(kept), queue.end());
        fifo->syncWindow();
        return removed;
    } catch (...) {
        return 0;
    }
}
