// The serial streams on a pty: line settings, restored settings, bytes, framing and open errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/aCobs.h"
#include "transport/aStreamSerial.h"

namespace {

class Pty {
  public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) path = ptsname(master);
        // Keep the line open from our side so that its settings outlive the stream's descriptor.
        keeper = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    }
    ~Pty() {
        if (keeper >= 0) close(keeper);
        if (master >= 0) close(master);
    }
    termios settings() const {
        termios t{};
        tcgetattr(keeper, &t);
        return t;
    }
    std::vector<uint8_t> receive(size_t n) {
        std::vector<uint8_t> out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) break;
            uint8_t buf[256];
            ssize_t got = read(master, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
    void send(const std::vector<uint8_t>& bytes) {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    }
    int master = -1;
    int keeper = -1;
    std::string path;
};

// Gets until `n` bytes arrived or two seconds passed, waiting on the stream between polls.
std::vector<uint8_t> readBytes(aStream* s, size_t n) {
    std::vector<uint8_t> out;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        uint8_t b;
        aErr err = aStream_Read(s, &b, 1);
        if (err == aErrNone)
            out.push_back(b);
        else if (err == aErrNotReady)
            aStream_WaitReadable(s, 50);
        else
            break;
    }
    return out;
}

struct LineCase {
    int32_t speed;
    bool parity;
    int32_t dataBits;
    int32_t stopBits;
    speed_t baud;
    tcflag_t cflags;  // expected among CSIZE, PARENB, CSTOPB
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << "speed " << c.speed << (c.parity ? " even" : " none") << " data " << c.dataBits
        << " stop " << c.stopBits;
}

class SerialSettings : public ::testing::TestWithParam<LineCase> {};

TEST_P(SerialSettings, RawLineAsAsked) {
    const LineCase& c = GetParam();
    Pty pty;
    ASSERT_FALSE(pty.path.empty());
    const termios before = pty.settings();
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), c.speed, c.parity, c.dataBits, c.stopBits, &s),
              aErrNone);
    const termios t = pty.settings();
    EXPECT_EQ(cfgetospeed(&t), c.baud);
    EXPECT_EQ(cfgetispeed(&t), c.baud);
    // A pty keeps the speed and stop bits but always reports 8 data bits without parity.
    EXPECT_EQ(t.c_cflag & CSTOPB, c.cflags & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (IGNBRK | IGNPAR | ICRNL | IXON), IGNBRK | (c.parity ? IGNPAR : 0u));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    const termios after = pty.settings();
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SerialSettings,
    ::testing::Values(LineCase{aSERIAL_2400, false, 0, 0, B2400, CS8},
                      LineCase{aSERIAL_9600, true, 0, 0, B9600, CS8 | PARENB},
                      LineCase{aSERIAL_115200, false, 0, 0, B115200, CS8},
                      LineCase{aSERIAL_230400, true, 1, 1, B230400, CS7 | PARENB | CSTOPB},
                      LineCase{aSERIAL_57600, false, 1, 0, B57600, CS7},
                      LineCase{aSERIAL_19200, false, 0, 1, B19200, CS8 | CSTOPB}));

TEST(SerialStream, BytesBothWaysAndIdleGetAnswersAtOnce) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path.c_str(), aSERIAL_115200, false, 0, 0, &s), aErrNone);
    uint8_t b;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
    EXPECT_EQ(aStream_WaitReadable(s, 20), aErrTimeout);

    const std::vector<uint8_t> out = {0x3F, 0x00, 0x0D, 0x0A, 0xFF};
    ASSERT_EQ(aStream_Write(s, out.data(), out.size()), aErrNone);
    EXPECT_EQ(pty.receive(out.size()), out);  // raw: no CR/LF translation
    pty.send({0x11, 0x0D, 0x00, 0x13});
    EXPECT_EQ(readBytes(s, 4), (std::vector<uint8_t>{0x11, 0x0D, 0x00, 0x13}));
    aStream_Destroy(&s);
}

TEST(SerialStream, OpenErrors) {
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSerial("/nonexistent/tty", aSERIAL_9600, false, 0, 0, &s),
              aErrNotFound);
    EXPECT_EQ(s, nullptr);
    Pty pty;
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), aSERIAL_9600, false, 0, 2, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(pty.path.c_str(), aSERIAL_9600, false, 2, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial(nullptr, aSERIAL_9600, false, 0, 0, &s), aErrParam);
    EXPECT_EQ(aStream_CreateSerial_Packetized("/nonexistent/tty", 6, false, 0, 0, &s),
              aErrNotFound);
    EXPECT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), 6, false, 0, 2, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial_Packetized(nullptr, 6, false, 0, 0, &s), aErrResource);
}

TEST(SerialStream, PacketizedFramesPacketsOnTheLine) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial_Packetized(pty.path.c_str(), aSERIAL_115200, false, 0, 0, &s),
              aErrNone);
    const std::vector<uint8_t> packet = {0x04, 0x02, 0x00, 0x7E};
    ASSERT_EQ(aStream_Write(s, packet.data(), packet.size()), aErrNone);
    std::vector<uint8_t> payload = packet;
    payload.push_back(crc8_create(packet.data(), packet.size()));
    std::vector<uint8_t> frame(payload.size() + 2);
    frame.resize(cobs_encode(payload.data(), payload.size(), frame.data()));
    frame.push_back(0);
    EXPECT_EQ(pty.receive(frame.size()), frame);
    pty.send(frame);
    EXPECT_EQ(readBytes(s, packet.size()), packet);
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
}

}  // namespace
