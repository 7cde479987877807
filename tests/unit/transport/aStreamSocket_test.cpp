// The TCP socket stream against a loopback peer: polling gets, reconnects, write limits.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "transport/aStreamSocket.h"

namespace {

// A loopback listener on an ephemeral port. Connections complete in the kernel's backlog, so the
// stream's blocking connect never waits for accept().
class Peer {
  public:
    Peer() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 8);
        socklen_t len = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Peer() {
        closeConnection(false);
        stopListening();
    }
    int accept() {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return -1;
        conn = ::accept(listener, nullptr, nullptr);
        return conn;
    }
    void send(const std::string& s) {
        ASSERT_EQ(::send(conn, s.data(), s.size(), 0), ssize_t(s.size()));
    }
    std::string receive(size_t n) {
        std::string out;
        while (out.size() < n) {
            pollfd p{conn, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) break;
            char buf[256];
            ssize_t got = recv(conn, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) break;
            out.append(buf, size_t(got));
        }
        return out;
    }
    // An orderly close (FIN), or a reset (linger 0).
    void closeConnection(bool reset) {
        if (conn < 0) return;
        if (reset) {
            linger lg{1, 0};
            setsockopt(conn, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(conn);
        conn = -1;
    }
    void stopListening() {
        if (listener >= 0) close(listener);
        listener = -1;
    }
    uint16_t port = 0;
    int listener = -1;
    int conn = -1;
};

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// Reads one byte, waiting on the stream between polls, for at most two seconds.
aErr readByte(aStream* s, uint8_t* b) {
    for (int i = 0; i < 40; ++i) {
        aErr err = aStream_Read(s, b, 1);
        if (err != aErrNotReady) return err;
        aErr w = aStream_WaitReadable(s, 50);
        if (w != aErrNone && w != aErrTimeout) return w;
    }
    return aErrNotReady;
}

std::string readString(aStream* s, size_t n) {
    std::string out;
    uint8_t b;
    while (out.size() < n && readByte(s, &b) == aErrNone) out += char(b);
    return out;
}

class SocketStreamTest : public ::testing::Test {
  protected:
    Peer peer;
    aStream* s = nullptr;
    void SetUp() override {
        ASSERT_EQ(aStream_CreateSocket(loopback(), peer.port, &s), aErrNone);
        ASSERT_GE(peer.accept(), 0);
    }
    void TearDown() override {
        if (s) {
            EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        }
    }
};

TEST_F(SocketStreamTest, IdleGetAnswersAtOnceAndWaitTimesOut) {
    uint8_t b;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_WaitReadable(s, 30), aErrTimeout);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - t0);
    EXPECT_GE(ms.count(), 25);
    EXPECT_LT(ms.count(), 1000);
}

TEST_F(SocketStreamTest, BytesArriveInOrderBothWays) {
    peer.send("hello, stream");
    EXPECT_EQ(readString(s, 13), "hello, stream");
    const std::string out = "reply";
    ASSERT_EQ(aStream_Write(s, reinterpret_cast<const uint8_t*>(out.data()), out.size()), aErrNone);
    const uint8_t one = '!';
    ASSERT_EQ(aStream_Write(s, &one, 1), aErrNone);
    EXPECT_EQ(peer.receive(6), "reply!");
}

TEST_F(SocketStreamTest, MultiByteReadIsAllOrNothing) {
    peer.send("ab");
    uint8_t four[4];
    ASSERT_EQ(aStream_WaitReadable(s, 2000), aErrNone);
    EXPECT_EQ(aStream_Read(s, four, 4), aErrNotReady);
    peer.send("cd");
    ASSERT_EQ(aStream_WaitReadable(s, 2000), aErrNone);
    ASSERT_EQ(aStream_Read(s, four, 4), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "abcd");
}

// The peer ends its connection and comes back: the stream's get reconnects by itself, whether
// the peer reset the connection or closed it in an orderly way.
class SocketReconnect : public SocketStreamTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SocketReconnect, GetReconnectsToAPeerThatCameBack) {
    peer.send("A");
    EXPECT_EQ(readString(s, 1), "A");
    peer.closeConnection(GetParam());
    // The stream reconnects on its next get; the peer accepts and talks on the new connection.
    uint8_t b;
    aErr first = aStream_Read(s, &b, 1);
    EXPECT_TRUE(first == aErrNotReady) << first;
    ASSERT_GE(peer.accept(), 0);
    peer.send("B");
    EXPECT_EQ(readString(s, 1), "B");
}

TEST_P(SocketReconnect, GetFailsWithConnectionWhenThePeerIsGone) {
    peer.stopListening();
    peer.closeConnection(GetParam());
    uint8_t b;
    EXPECT_EQ(readByte(s, &b), aErrConnection);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);  // and stays disconnected
    EXPECT_EQ(aStream_Write(s, &b, 1), aErrConnection);
}

INSTANTIATE_TEST_SUITE_P(ResetOrOrderlyClose, SocketReconnect, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Reset" : "OrderlyClose"; });

TEST_F(SocketStreamTest, WriteReconnectsToAPeerThatCameBack) {
    peer.closeConnection(true);
    const std::string out = "again";
    ASSERT_EQ(aStream_Write(s, reinterpret_cast<const uint8_t*>(out.data()), out.size()), aErrNone);
    ASSERT_GE(peer.accept(), 0);
    EXPECT_EQ(peer.receive(5), "again");
}

TEST_F(SocketStreamTest, WriteFailsWhenThePeerIsGone) {
    peer.stopListening();
    peer.closeConnection(true);
    const uint8_t bytes[4] = {1, 2, 3, 4};
    aErr err = aStream_Write(s, bytes, 4);
    EXPECT_TRUE(err == aErrConnection || err == aErrIO) << err;
}

TEST_F(SocketStreamTest, TenWouldBlocksEndAWriteWithBusy) {
    // The peer never reads: the socket buffers fill and the write gives up.
    std::vector<uint8_t> big(64 * 1024 * 1024, 0x55);
    EXPECT_EQ(aStream_Write(s, big.data(), big.size()), aErrBusy);
}

TEST(SocketStreamCreate, Failures) {
    Peer gone;
    const uint16_t port = gone.port;
    gone.stopListening();
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSocket(loopback(), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(loopback(), port, nullptr), aErrResource);
}

TEST_F(SocketStreamTest, OneReaderAndOneWriterAtOnce) {
    // The peer echoes; the test writes from one thread and reads from another.
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        char buf[512];
        while (!stop) {
            pollfd p{peer.conn, POLLIN, 0};
            if (poll(&p, 1, 20) != 1) continue;
            ssize_t n = recv(peer.conn, buf, sizeof buf, 0);
            if (n <= 0) break;
            ::send(peer.conn, buf, size_t(n), 0);
        }
    });
    std::vector<uint8_t> sent(20000);
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i * 31 + i / 256);
    std::thread writer([&] {
        for (size_t i = 0; i < sent.size(); i += 100)
            EXPECT_EQ(aStream_Write(s, &sent[i], 100), aErrNone);
    });
    std::vector<uint8_t> got;
    uint8_t b;
    while (got.size() < sent.size() && readByte(s, &b) == aErrNone) got.push_back(b);
    writer.join();
    stop = true;
    echo.join();
    EXPECT_EQ(got, sent);
}

}  // namespace
