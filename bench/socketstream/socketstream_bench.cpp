// Bytes per second a loopback TCP stream delivers through aStream_Read one byte at a time, as the
// link engine's receive loop reads: the socket stream (one receive per block, bytes served from
// its buffer) against a stream whose get peeks and then takes each byte (two system calls per
// byte).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "transport/aStreamSocket.h"

namespace {

// A loopback peer that sends an endless run of bytes to the one connection it accepts.
class Source {
  public:
    Source() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 1);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        sender = std::thread([this] {
            int c = accept(listener, nullptr, nullptr);
            std::vector<uint8_t> block(65536);
            for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i);
            while (!stop) {
                pollfd p{c, POLLOUT, 0};
                if (poll(&p, 1, 50) != 1) continue;
                if (send(c, block.data(), block.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN) break;
            }
            close(c);
        });
    }
    ~Source() {
        stop = true;
        sender.join();
        close(listener);
    }
    uint16_t port = 0;

  private:
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread sender;
};

// The per-byte get: peek one byte, then take it.
aErr sPeekGet(uint8_t* byte, void* ref) {
    const int fd = *static_cast<int*>(ref);
    uint8_t peek;
    ssize_t n = recv(fd, &peek, 1, MSG_PEEK);
    if (n < 0) return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrConnection;
    if (n == 0) return aErrNotReady;
    n = recv(fd, byte, 1, 0);
    if (n == 1) return aErrNone;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrEOF : aErrIO;
}

aErr sPeekWait(uint32_t ms, void* ref) {
    pollfd p{*static_cast<int*>(ref), POLLIN, 0};
    return poll(&p, 1, int(ms)) > 0 ? aErrNone : aErrTimeout;
}

aStream* sPeekStream(uint16_t port, int* fd) {
    *fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(*fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return nullptr;
    int on = 1;
    setsockopt(*fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) | O_NONBLOCK);
    aStream* s = aStream_Create(sPeekGet, nullptr, nullptr, nullptr, fd);
    aStream_SetWait(s, sPeekWait);
    return s;
}

void sReadBytes(benchmark::State& state, aStream* s) {
    constexpr size_t kPerIteration = 1 << 20;
    uint64_t sum = 0;
    for (auto _ : state) {
        size_t got = 0;
        while (got < kPerIteration) {
            uint8_t b;
            aErr err = aStream_Read(s, &b, 1);
            if (err == aErrNone) {
                sum += b;
                ++got;
            } else if (err == aErrNotReady) {
                aStream_WaitReadable(s, 100);
            } else {
                state.SkipWithError("read failed");
                return;
            }
        }
    }
    benchmark::DoNotOptimize(sum);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPerIteration));
}

void BM_PeekPerByteGet(benchmark::State& state) {
    Source source;
    int fd = -1;
    aStream* s = sPeekStream(source.port, &fd);
    if (!s) {
        state.SkipWithError("connect failed");
        return;
    }
    sReadBytes(state, s);
    aStream_Destroy(&s);
    close(fd);
}

void BM_SocketStream(benchmark::State& state) {
    Source source;
    aStream* s = nullptr;
    if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), source.port, &s) != aErrNone) {
        state.SkipWithError("connect failed");
        return;
    }
    sReadBytes(state, s);
    aStream_Destroy(&s);
}

BENCHMARK(BM_PeekPerByteGet)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(BM_SocketStream)->Unit(benchmark::kMillisecond)->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
