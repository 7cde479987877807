// TcpPeer: the module end of one TCP link, scripted by a test. Listens on an ephemeral loopback
// port, accepts the link's connection and reads and writes whole packets (address, size, data)
// with bounded waits. One thread drives it, except send(), which another thread may call while
// the driving thread is blocked elsewhere.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

namespace peertest {

using Bytes = std::vector<uint8_t>;

inline uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

struct Packet {
    uint8_t address = 0;
    Bytes data;
};

class TcpPeer {
  public:
    TcpPeer() {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::listen(listen_, 4) == 0) {
            socklen_t len = sizeof a;
            getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
            port_ = ntohs(a.sin_port);
        }
    }
    ~TcpPeer() {
        drop();
        if (listen_ >= 0) ::close(listen_);
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;

    uint16_t port() const { return port_; }

    // Takes the next connection (closing the current one); false when none comes in time.
    bool accept(int limitMs = 2000) {
        drop();
        pollfd p{listen_, POLLIN, 0};
        if (poll(&p, 1, limitMs) <= 0) return false;
        fd_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd_ < 0) return false;
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        return true;
    }
    // True when a connection waits to be accepted within `limitMs`; the current one stays.
    bool pending(int limitMs) {
        pollfd p{listen_, POLLIN, 0};
        return listen_ >= 0 && poll(&p, 1, limitMs) > 0;
    }
    // Stops taking connections: the module is gone.
    void closeListener() {
        if (listen_ >= 0) ::close(listen_);
        listen_ = -1;
    }
    void drop() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }

    bool send(uint8_t address, const Bytes& data) {
        Bytes b{address, uint8_t(data.size())};
        b.insert(b.end(), data.begin(), data.end());
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }

    // The next packet the link sent, route packets (address 0xAF) skipped; false on time-out.
    bool read(Packet* out, uint64_t limitMs = 2000) {
        const uint64_t t0 = nowMs();
        for (;;) {
            while (buffer_.size() >= 2 && buffer_.size() >= size_t(2 + buffer_[1])) {
                Packet p;
                p.address = buffer_[0];
                p.data.assign(buffer_.begin() + 2, buffer_.begin() + 2 + buffer_[1]);
                buffer_.erase(buffer_.begin(), buffer_.begin() + 2 + buffer_[1]);
                if (p.address == 0xAF) continue;
                *out = p;
                return true;
            }
            const uint64_t spent = nowMs() - t0;
            if (fd_ < 0 || spent >= limitMs) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, int(limitMs - spent)) <= 0) return false;
            uint8_t chunk[512];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) return false;
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
    }

    // True when the link sends nothing but route packets for `ms`.
    bool silentFor(uint64_t ms) {
        Packet p;
        return !read(&p, ms);
    }

  private:
    int listen_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
    Bytes buffer_;
};

}  // namespace peertest
