// Scripted module peers for the link tests.
//
// A Peer sits on the far end of a real byte pipe (socketpair, pty, TCP connection) and collects
// what the link wrote on a reader thread of its own:
//   - Framing::Writes: a SOCK_SEQPACKET socketpair, so each element is one write of the link;
//   - Framing::Packets: a byte stream cut into packets by counting (address, size, data);
//   - Framing::Cobs: COBS frames checked and decoded into packets (serial links).
// With `answerMagic` set, the peer answers every magic packet (0xAD 0x00) with a zero-length
// packet from `moduleAddress`, as a module does. Tests take elements with next()/waitFor(), which
// wait on a condition variable with a deadline; nothing sleeps.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/aLink.h"

#include "transport/aCobs.h"
#include "transport/aStream.h"

namespace linktest {

using Bytes = std::vector<uint8_t>;

enum class Framing { Writes, Packets, Cobs };

class Peer {
  public:
    Peer(int fd, Framing framing) : fd_(fd), framing_(framing) {
        reader_ = std::thread([this] { run(); });
    }
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Stops the reader and closes the descriptor.
    void close() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    void answerMagic(uint8_t moduleAddress) {
        std::lock_guard<std::mutex> hold(lock_);
        magicAnswer_ = moduleAddress;
    }
    void stopAnsweringMagic() {
        std::lock_guard<std::mutex> hold(lock_);
        magicAnswer_ = 0;
    }

    // Sends bytes as they are (one message on a SEQPACKET pipe).
    void sendRaw(const Bytes& bytes) {
        std::lock_guard<std::mutex> hold(sendLock_);
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                // A pty master is not a socket.
                n = ::write(fd_, bytes.data() + done, bytes.size() - done);
                if (n < 0) return;
            }
            done += static_cast<size_t>(n);
        }
    }

    // Sends packet bytes in the pipe's framing (COBS frames for a COBS peer).
    void send(const Bytes& bytes) {
        if (framing_ != Framing::Cobs) return sendRaw(bytes);
        Bytes frame;
        size_t at = 0;
        while (at + 2 <= bytes.size()) {
            size_t len = 2 + bytes[at + 1];
            Bytes payload(bytes.begin() + at, bytes.begin() + at + len);
            payload.push_back(crc8_create(payload.data(), payload.size()));
            uint8_t encoded[64];
            size_t n = cobs_encode(payload.data(), payload.size(), encoded);
            frame.insert(frame.end(), encoded, encoded + n);
            frame.push_back(0);
            at += len;
        }
        sendRaw(frame);
    }

    // The next element the link wrote, waiting up to `ms`.
    std::optional<Bytes> next(int ms) {
        std::unique_lock<std::mutex> hold(lock_);
        if (!seen_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return !got_.empty(); }))
            return std::nullopt;
        Bytes b = std::move(got_.front());
        got_.pop_front();
        return b;
    }

    // Takes elements until one satisfies `want`; false when `ms` pass first.
    bool waitFor(const std::function<bool(const Bytes&)>& want, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            auto b = next(static_cast<int>(left.count()));
            if (!b) return false;
            if (want(*b)) return true;
        }
    }
    bool waitFor(const Bytes& wanted, int ms) {
        return waitFor([&](const Bytes& b) { return b == wanted; }, ms);
    }

    // Everything collected so far, without waiting.
    std::vector<Bytes> drain() {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<Bytes> all(got_.begin(), got_.end());
        got_.clear();
        return all;
    }

    // Waits until the reader has seen nothing new for `quietMs` (at most `ms` in all), then
    // returns what it collected.
    std::vector<Bytes> settle(int quietMs, int ms) {
        std::vector<Bytes> all;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            auto b = next(quietMs);
            if (!b) break;
            all.push_back(std::move(*b));
        }
        return all;
    }

  private:
    void run() {
        uint8_t buf[8192];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            int n = ::poll(&p, 1, 20);
            if (n <= 0) continue;
            ssize_t got = ::read(fd_, buf, sizeof buf);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                // Closed (or a pty whose slave is not open): keep polling until stopped.
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                continue;
            }
            if (framing_ == Framing::Writes) {
                deliver(Bytes(buf, buf + got));
                continue;
            }
            for (ssize_t i = 0; i < got; ++i) {
                if (framing_ == Framing::Packets)
                    addPacketByte(buf[i]);
                else
                    addCobsByte(buf[i]);
            }
        }
    }

    void addPacketByte(uint8_t byte) {
        partial_.push_back(byte);
        if (partial_.size() >= 2 && partial_.size() == size_t(partial_[1]) + 2) {
            deliver(partial_);
            partial_.clear();
        }
    }

    void addCobsByte(uint8_t byte) {
        if (byte != 0) {
            partial_.push_back(byte);
            return;
        }
        if (partial_.empty()) return;
        uint8_t decoded[64];
        size_t n = partial_.size() <= sizeof decoded
                       ? cobs_decode(partial_.data(), partial_.size(), decoded)
                       : 0;
        partial_.clear();
        if (n < 3 || !crc8_check(decoded, n - 1, decoded[n - 1])) {
            deliver(Bytes{0xFF, 0xFF});  // marks a bad frame
            return;
        }
        deliver(Bytes(decoded, decoded + n - 1));
    }

    void deliver(const Bytes& b) {
        uint8_t answer;
        {
            std::lock_guard<std::mutex> hold(lock_);
            got_.push_back(b);
            answer = magicAnswer_;
        }
        seen_.notify_all();
        if (answer && b.size() >= 2 && b[0] == 0xAD && b[1] == 0x00) {
            // A SEQPACKET write may carry several packets; answer each magic packet in it.
            for (size_t i = 0; i + 1 < b.size(); i += 2u + b[i + 1]) {
                if (b[i] == 0xAD && b[i + 1] == 0) send(Bytes{answer, 0});
            }
        }
    }

    int fd_;
    Framing framing_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    std::mutex lock_;
    std::mutex sendLock_;
    std::condition_variable seen_;
    std::deque<Bytes> got_;
    Bytes partial_;
    uint8_t magicAnswer_ = 0;
};

// A link-side stream over one end of a SOCK_SEQPACKET socketpair: every write of the link is one
// message, so the peer sees write boundaries. Gets are served from the last message received;
// the wait operation polls the socket.
struct SeqPacketRef {
    int fd;
    uint8_t block[8192];
    size_t count;
    size_t next;
};

inline aErr seqGet(uint8_t* byte, void* ref) {
    auto* r = static_cast<SeqPacketRef*>(ref);
    if (r->next < r->count) {
        *byte = r->block[r->next++];
        return aErrNone;
    }
    ssize_t n = ::recv(r->fd, r->block, sizeof r->block, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return aErrNotReady;
    if (n <= 0) return aErrIO;
    r->count = static_cast<size_t>(n);
    r->next = 1;
    *byte = r->block[0];
    return aErrNone;
}

inline aErr seqWrite(const uint8_t* bytes, size_t count, void* ref) {
    auto* r = static_cast<SeqPacketRef*>(ref);
    ssize_t n = ::send(r->fd, bytes, count, MSG_NOSIGNAL);
    return n == static_cast<ssize_t>(count) ? aErrNone : aErrIO;
}

inline aErr seqPut(const uint8_t* byte, void* ref) {
    return seqWrite(byte, 1, ref);
}

inline aErr seqDelete(void* ref) {
    auto* r = static_cast<SeqPacketRef*>(ref);
    ::close(r->fd);
    delete r;
    return aErrNone;
}

inline aErr seqWait(uint32_t ms, void* ref) {
    auto* r = static_cast<SeqPacketRef*>(ref);
    if (r->next < r->count) return aErrNone;
    pollfd p{r->fd, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(ms));
    return n > 0 ? aErrNone : aErrTimeout;
}

// Makes the pair: the link's stream in *stream, the peer's descriptor as the result (-1 on
// failure).
inline int makeSeqPacketPair(aStream** stream) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) return -1;
    auto* ref = new SeqPacketRef{sv[0], {}, 0, 0};
    *stream = aStream_Create(seqGet, seqPut, seqWrite, seqDelete, ref);
    aStream_SetWait(*stream, seqWait);
    return sv[1];
}

// A listening TCP socket on 127.0.0.1 with an ephemeral port (or the given one).
inline int listenLoopback(uint16_t* port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(*port);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return fd;
}

// Accepts one connection, waiting up to `ms`; -1 on time-out.
inline int acceptWithin(int listener, int ms) {
    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, ms) <= 0) return -1;
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

inline uint32_t loopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

// A pty pair: the master's descriptor as the result, the slave's path in *path. The slave is
// opened once, put in raw mode (no echo, no line editing) and kept open in *slave, so that the
// settings hold for whoever opens the path later; close it after use.
inline int openRawPty(std::string* path, int* slave) {
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return -1;
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        ::close(master);
        return -1;
    }
    *path = ::ptsname(master);
    *slave = ::open(path->c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (*slave < 0 || ::tcgetattr(*slave, &t) != 0) {
        ::close(master);
        return -1;
    }
    ::cfmakeraw(&t);
    ::tcsetattr(*slave, TCSANOW, &t);
    return master;
}

const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};

inline int64_t msSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

inline void waitForStatus(uint32_t id, linkStatus wanted, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (aLink_GetStatus(id) != wanted && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
}

// Sends one packet from the host and checks that the peer receives it.
inline void expectPacketReaches(uint32_t id, Peer& peer, uint8_t value) {
    aPacket* p = aPacket_CreateWithData(0x04, 1, &value);
    ASSERT_EQ(aLink_PutPacket(id, p), aErrNone);
    aPacket_Destroy(&p);
    EXPECT_TRUE(peer.waitFor(Bytes{0x04, 0x01, value}, 2000));
}

// A module on loopback TCP: a listener, and a peer on the accepted connection.
class TcpModule {
  public:
    TcpModule() { listener_ = linktest::listenLoopback(&port_); }
    ~TcpModule() { goAway(); }
    bool listening() const { return listener_ >= 0; }
    uint16_t port() const { return port_; }
    // Accepts the link's connection.
    Peer* accept() {
        int fd = linktest::acceptWithin(listener_, 2000);
        if (fd < 0) return nullptr;
        peer_ = std::make_unique<Peer>(fd, Framing::Packets);
        peer_->answerMagic(0x04);
        return peer_.get();
    }
    bool hasPendingConnection() {
        int fd = linktest::acceptWithin(listener_, 100);
        if (fd < 0) return false;
        ::close(fd);
        return true;
    }
    void goAway() {
        peer_.reset();
        if (listener_ >= 0) ::close(listener_);
        listener_ = -1;
    }
    void comeBack() { listener_ = linktest::listenLoopback(&port_); }
    // Hands over the peer, which then outlives goAway().
    std::unique_ptr<Peer> release() { return std::move(peer_); }

  private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::unique_ptr<Peer> peer_;
};

}  // namespace linktest
