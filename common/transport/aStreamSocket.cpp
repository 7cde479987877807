// The TCP socket stream: non-blocking, no-delay, linger 0, reconnecting on broken connections.
#include "transport/aStreamSocket.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>

#include "engine/aTime.h"

namespace {

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr uint32_t kConnected = 0x1;
constexpr int kWriteAttempts = 10;
constexpr uint64_t kWritePauseMs = 60;
constexpr uint64_t kReconnectPauseMs = 10;
constexpr size_t kReceiveBlock = 4096;

struct SocketRef {
    uint16_t port;
    sockaddr_in address;
    std::atomic<int> socket;  // -1 when closed
    std::atomic<uint32_t> flags;
    std::atomic<uint32_t> generation;  // counts connections made; the descriptor number stays
    uint16_t check;
    std::mutex reconnect;  // one reconnect at a time
    // Receive side, used by the reading thread only.
    uint8_t block[kReceiveBlock];
    size_t blockCount;
    size_t blockNext;
};

bool sValid(const SocketRef* r) {
    return r && r->check == kSocketCheck;
}

bool sWouldBlock(int e) {
    return e == EAGAIN || e == EWOULDBLOCK;
}

aErr sSocketStreamSetOptions(int fd) {
    int on = 1;
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return aErrIO;
    timeval zero{};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &zero, sizeof zero) != 0) return aErrIO;
    linger lg{};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) return aErrIO;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) return aErrIO;
    return aErrNone;
}

// Ends the connection but keeps its descriptor number: the other thread may be about to use it,
// and a number given back to the system could meanwhile name an unrelated file. The number is
// reused for the next connection (dup2) or closed when the stream is deleted.
void sCloseSocket(SocketRef* r) {
    r->flags &= ~kConnected;
    int fd = r->socket;
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        aTime_MSSleep(kReconnectPauseMs);
    }
}

// Closes an open socket and connects again; called with the reconnect lock held (or before the
// stream is shared).
aErr sSocketStreamReset(SocketRef* r) {
    if (!sValid(r)) return aErrInitialization;
    sCloseSocket(r);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return aErrIO;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&r->address), sizeof r->address) != 0) {
        const int e = errno;
        close(fd);
        if (e == ECONNREFUSED || e == ECONNRESET || e == ETIMEDOUT || sWouldBlock(e))
            return aErrConnection;
        return aErrIO;
    }
    aErr err = sSocketStreamSetOptions(fd);
    if (err != aErrNone) {
        close(fd);
        return err;
    }
    const int old = r->socket;
    if (old >= 0) {
        // Put the new connection under the old number, so a thread still holding that number
        // now reaches the new connection instead of a closed or recycled descriptor.
        if (dup2(fd, old) < 0 || fcntl(old, F_SETFD, FD_CLOEXEC) != 0) {
            close(fd);
            return aErrIO;
        }
        close(fd);
        fd = old;
    }
    r->socket = fd;
    ++r->generation;
    r->flags |= kConnected;
    return aErrNone;
}

// Repairs the connection `failed` (a generation), unless the other side has already replaced it,
// in which case the current connection is used.
aErr sReconnect(SocketRef* r, uint32_t failed) {
    std::lock_guard<std::mutex> hold(r->reconnect);
    if ((r->flags & kConnected) && r->generation != failed) return aErrNone;
    return sSocketStreamReset(r);
}

bool sBroken(int e) {
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT || e == EPIPE;
}

// One receive into the block: aErrNone with bytes, aErrNotReady for none, or the reason it broke.
// `broken` reports a connection that needs repair (reset, or closed by the peer).
aErr sFill(SocketRef* r, int fd, bool* broken) {
    *broken = false;
    ssize_t n = recv(fd, r->block, sizeof r->block, 0);
    if (n > 0) {
        r->blockCount = static_cast<size_t>(n);
        r->blockNext = 0;
        return aErrNone;
    }
    if (n == 0) {
        // The peer closed its end: a stream that polls forever on a dead connection would never
        // report the loss, so an orderly close is repaired like a reset.
        *broken = true;
        return aErrConnection;
    }
    const int e = errno;
    if (sWouldBlock(e) || e == EINTR) return aErrNotReady;
    if (sBroken(e)) {
        *broken = true;
        return aErrConnection;
    }
    return aErrConnection;
}

aErr sSocketStreamGet(uint8_t* byte, void* ref) {
    SocketRef* r = static_cast<SocketRef*>(ref);
    if (!sValid(r) || !byte) return aErrParam;
    if (r->blockNext < r->blockCount) {
        *byte = r->block[r->blockNext++];
        return aErrNone;
    }
    if (!(r->flags & kConnected)) return aErrConnection;
    const uint32_t generation = r->generation;
    int fd = r->socket;
    bool broken = false;
    aErr err = sFill(r, fd, &broken);
    if (broken) {
        err = sReconnect(r, generation);
        if (err != aErrNone) return err;
        err = sFill(r, r->socket, &broken);
        if (err != aErrNone) return aErrNotReady;
    }
    if (err != aErrNone) return err;
    *byte = r->block[r->blockNext++];
    return aErrNone;
}

aErr sSocketStreamWrite(const uint8_t* bytes, size_t count, void* ref) {
    SocketRef* r = static_cast<SocketRef*>(ref);
    if (!sValid(r) || !bytes) return aErrParam;
    if (!(r->flags & kConnected)) return aErrConnection;
    size_t done = 0;
    int attempts = 0;
    while (done < count) {
        const uint32_t generation = r->generation;
        ssize_t n = send(r->socket, bytes + done, count - done, MSG_NOSIGNAL);
        if (n >= 0) {
            done += static_cast<size_t>(n);
            if (done < count) attempts = 1;
        } else {
            const int e = errno;
            if (sWouldBlock(e)) {
                ++attempts;
            } else if (e == EPIPE || e == ECONNRESET || e == ENOTCONN) {
                aErr err = sReconnect(r, generation);
                if (err != aErrNone) return err;
                ++attempts;
            } else if (e != EINTR) {
                return aErrIO;
            }
        }
        if (done >= count) break;
        if (attempts >= kWriteAttempts) return aErrBusy;
        aTime_MSSleep(kWritePauseMs);
    }
    return aErrNone;
}

aErr sSocketStreamPut(const uint8_t* byte, void* ref) {
    return sSocketStreamWrite(byte, 1, ref);
}

aErr sSocketStreamWait(uint32_t milliseconds, void* ref) {
    SocketRef* r = static_cast<SocketRef*>(ref);
    if (!sValid(r)) return aErrParam;
    if (r->blockNext < r->blockCount) return aErrNone;
    if (!(r->flags & kConnected)) return aErrConnection;
    pollfd p{r->socket, POLLIN, 0};
    int n = poll(&p, 1, milliseconds > INT32_MAX ? -1 : static_cast<int>(milliseconds));
    if (n > 0) return aErrNone;  // readable, closed or in error: the next get finds out which
    if (n == 0) return aErrTimeout;
    return errno == EINTR ? aErrNone : aErrIO;
}

aErr sSocketStreamDelete(void* ref) {
    SocketRef* r = static_cast<SocketRef*>(ref);
    if (!sValid(r)) return aErrIO;
    int fd = r->socket.exchange(-1);
    if (fd >= 0) close(fd);
    r->flags = 0;
    r->check = 0;
    delete r;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStream** stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    SocketRef* r = new (std::nothrow) SocketRef;
    if (!r) return aErrResource;
    r->port = port;
    memset(&r->address, 0, sizeof r->address);
    r->address.sin_family = AF_INET;
    r->address.sin_port = htons(port);
    r->address.sin_addr.s_addr = address;
    r->socket = -1;
    r->flags = 0;
    r->generation = 0;
    r->check = kSocketCheck;
    r->blockCount = 0;
    r->blockNext = 0;
    if (sSocketStreamReset(r) != aErrNone) {
        sSocketStreamDelete(r);
        return aErrResource;
    }
    aStream* s = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                sSocketStreamDelete, r);
    if (!s) {
        sSocketStreamDelete(r);
        return aErrResource;
    }
    aStream_SetWait(s, sSocketStreamWait);
    *stream = s;
    return aErrNone;
}
