// link_rtt: round-trip time of one packet over a TCP link on loopback, beside the round trip of
// the same bytes over a plain TCP socket pair, and the CPU time a link uses while it sits idle.
//
// The module is a minimal echoing peer on 127.0.0.1: it answers magic packets with a zero-length
// packet from address 4, drops the host's other link-level packets (odd addresses) and sends every
// other packet straight back. The plain comparison echoes raw bytes on a second port. Each round
// trip puts one packet with aLink_PutPacket and waits for its echo with aLink_AwaitFirst.
//
// Output: one line per measurement, then
//   link_rtt_us=<median> raw_rtt_us=<median> idle_cpu_pct=<percent>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 200;
constexpr int kRounds = 3000;
constexpr int kIdleSeconds = 5;
constexpr uint8_t kModuleAddress = 4;
constexpr uint8_t kDataSize = 8;

int listenLoopback(uint16_t* port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

void noDelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool sendAll(int fd, const uint8_t* bytes, size_t count) {
    while (count) {
        ssize_t n = send(fd, bytes, count, MSG_NOSIGNAL);
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// Serves one connection until the peer closes or `stop` is set. `packets` selects the module
// behaviour; otherwise bytes are echoed as they come.
void serve(int listener, bool packets, const std::atomic<bool>* stop) {
    pollfd p{listener, POLLIN, 0};
    while (!*stop && poll(&p, 1, 200) == 0) {
    }
    if (*stop) return;
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    noDelay(fd);
    uint8_t buf[4096];
    std::vector<uint8_t> partial;
    while (!*stop) {
        pollfd q{fd, POLLIN, 0};
        if (poll(&q, 1, 1000) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        if (!packets) {
            if (!sendAll(fd, buf, static_cast<size_t>(n))) break;
            continue;
        }
        std::vector<uint8_t> out;
        for (ssize_t i = 0; i < n; ++i) {
            partial.push_back(buf[i]);
            if (partial.size() < 2 || partial.size() != size_t(partial[1]) + 2) continue;
            if ((partial[0] & 1) == 0) {
                out.insert(out.end(), partial.begin(), partial.end());
            } else if (partial[0] == 0xAD && partial[1] == 0) {
                out.push_back(kModuleAddress);
                out.push_back(0);
            }
            partial.clear();
        }
        if (!out.empty() && !sendAll(fd, out.data(), out.size())) break;
    }
    close(fd);
}

struct Stats {
    double median, p99;
};

Stats summarise(std::vector<double>& us) {
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

bool echoOf(const aPacket* p, void* ref) {
    return p->address == kModuleAddress && p->dataSize == kDataSize &&
           p->data[0] == *static_cast<uint8_t*>(ref);
}

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace

int main() {
    std::atomic<bool> stop{false};
    uint16_t rawPort = 0, linkPort = 0;
    int rawListener = listenLoopback(&rawPort);
    int linkListener = listenLoopback(&linkPort);
    if (rawListener < 0 || linkListener < 0) {
        std::fprintf(stderr, "link_rtt: cannot listen on loopback\n");
        return 1;
    }
    std::thread rawPeer(serve, rawListener, false, &stop);
    std::thread linkPeer(serve, linkListener, true, &stop);

    // Plain TCP: the same bytes a packet puts on the wire.
    int raw = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(rawPort);
    if (raw < 0 || connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::fprintf(stderr, "link_rtt: cannot connect the plain socket\n");
        return 1;
    }
    noDelay(raw);
    uint8_t bytes[2 + kDataSize] = {kModuleAddress, kDataSize, 0, 1, 2, 3, 4, 5, 6, 7};
    std::vector<double> rawUs;
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        bytes[2] = static_cast<uint8_t>(i);
        uint8_t back[sizeof bytes];
        auto t0 = Clock::now();
        if (!sendAll(raw, bytes, sizeof bytes)) return 1;
        size_t got = 0;
        while (got < sizeof back) {
            ssize_t n = recv(raw, back + got, sizeof back - got, 0);
            if (n <= 0) return 1;
            got += static_cast<size_t>(n);
        }
        if (i >= kWarmUp) rawUs.push_back(microseconds(Clock::now() - t0));
    }
    close(raw);

    uint32_t id = aLink_CreateTCPIP(0x00001234, htonl(INADDR_LOOPBACK), linkPort);
    if (!id) {
        std::fprintf(stderr, "link_rtt: cannot create the TCP link\n");
        return 1;
    }
    std::vector<double> linkUs;
    int lost = 0;
    for (int i = 0; i < kWarmUp + kRounds; ++i) {
        uint8_t seq = static_cast<uint8_t>(i);
        bytes[2] = seq;
        aPacket* packet = aPacket_CreateWithData(kModuleAddress, kDataSize, bytes + 2);
        auto t0 = Clock::now();
        aLink_PutPacket(id, packet);
        aPacket* reply = aLink_AwaitFirst(id, echoOf, &seq, 1000);
        auto t1 = Clock::now();
        aPacket_Destroy(&packet);
        if (!reply) {
            ++lost;
            continue;
        }
        aPacket_Destroy(&reply);
        if (i >= kWarmUp) linkUs.push_back(microseconds(t1 - t0));
    }

    // Idle: only the link's threads may run; both peers sleep in poll.
    double cpu0 = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    double idlePct = (processCpuSeconds() - cpu0) / kIdleSeconds * 100.0;

    aLink_Destroy(&id);
    stop = true;
    rawPeer.join();
    linkPeer.join();
    close(rawListener);
    close(linkListener);

    if (linkUs.empty() || rawUs.empty()) {
        std::fprintf(stderr, "link_rtt: no round trip completed\n");
        return 1;
    }
    Stats l = summarise(linkUs), r = summarise(rawUs);
    std::printf("plain TCP round trip: median %.1f us, p99 %.1f us (%zu rounds)\n", r.median, r.p99,
                rawUs.size());
    std::printf("link round trip:      median %.1f us, p99 %.1f us (%zu rounds, %d lost)\n",
                l.median, l.p99, linkUs.size(), lost);
    std::printf("ratio link/plain:     %.2f\n", l.median / r.median);
    std::printf("idle link over %d s:  %.3f %% of one core (whole process)\n", kIdleSeconds,
                idlePct);
    std::printf("link_rtt_us=%.1f raw_rtt_us=%.1f idle_cpu_pct=%.3f\n", l.median, r.median,
                idlePct);
    return 0;
}
