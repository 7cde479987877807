// Serial port streams over the POSIX terminal interface: raw mode, polled reads, drained writes.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "transport/aCobs.h"
#include "transport/aStreamSerial.h"

namespace {

constexpr uint16_t kSerialCheck = 0xBEEF;
constexpr size_t kMaxPath = 4096;

struct SerialRef {
    int32_t speed;
    char path[kMaxPath];
    int fd;  // -1 when closed
    termios saved;
    termios settings;
    uint16_t check;
};

bool sValid(const SerialRef* r) {
    return r && r->check == kSerialCheck;
}

speed_t sSpeed(int32_t index) {
    static const speed_t table[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};
    if (index < 0 || index >= static_cast<int32_t>(sizeof table / sizeof table[0])) return B0;
    return table[index];
}

aErr sStreamOpenSerial(SerialRef* r, bool parity, int32_t dataBits, int32_t stopBits) {
    if (dataBits > 1 || stopBits > 1 || dataBits < 0 || stopBits < 0) return aErrParam;
    int fd = open(r->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return aErrNotFound;
        if (errno == EACCES || errno == EPERM) return aErrPermission;
        return aErrIO;
    }
    if (fcntl(fd, F_SETFL, 0) != 0 || tcgetattr(fd, &r->saved) != 0) {
        close(fd);
        return aErrIO;
    }
    termios t = r->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                (stopBits == 1 ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, sSpeed(r->speed));
    cfsetospeed(&t, sSpeed(r->speed));
    if (tcsetattr(fd, TCSANOW, &t) != 0 || tcflush(fd, TCIOFLUSH) != 0) {
        tcsetattr(fd, TCSANOW, &r->saved);
        close(fd);
        return aErrIO;
    }
    r->settings = t;
    r->fd = fd;
    return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
    SerialRef* r = static_cast<SerialRef*>(ref);
    if (!sValid(r) || !byte || r->fd < 0) return aErrParam;
    ssize_t n = read(r->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
    return aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, size_t count, void* ref) {
    SerialRef* r = static_cast<SerialRef*>(ref);
    if (!sValid(r) || !bytes || r->fd < 0) return aErrParam;
    ssize_t n = write(r->fd, bytes, count);
    if (n < 0 || static_cast<size_t>(n) != count) return aErrIO;
    tcdrain(r->fd);
    return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* ref) {
    return sSerialWrite(byte, 1, ref);
}

aErr sSerialWait(uint32_t milliseconds, void* ref) {
    SerialRef* r = static_cast<SerialRef*>(ref);
    if (!sValid(r) || r->fd < 0) return aErrParam;
    pollfd p{r->fd, POLLIN, 0};
    int n = poll(&p, 1, milliseconds > INT32_MAX ? -1 : static_cast<int>(milliseconds));
    if (n > 0) return aErrNone;
    if (n == 0) return aErrTimeout;
    return errno == EINTR ? aErrNone : aErrIO;
}

aErr sSerialDelete(void* ref) {
    SerialRef* r = static_cast<SerialRef*>(ref);
    if (!sValid(r)) return aErrParam;
    if (r->fd >= 0) {
        tcsetattr(r->fd, TCSANOW, &r->saved);
        close(r->fd);
        r->fd = -1;
    }
    r->check = 0;
    delete r;
    return aErrNone;
}

SerialRef* sNewRef(const char* path, int32_t speed) {
    SerialRef* r = new (std::nothrow) SerialRef;
    if (!r) return nullptr;
    memset(r, 0, sizeof *r);
    r->speed = speed;
    strncpy(r->path, path, kMaxPath - 1);
    r->fd = -1;
    r->check = kSerialCheck;
    return r;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, int32_t speed, bool parity, int32_t dataBits,
                          int32_t stopBits, aStream** stream) {
    if (!path || !stream || dataBits > 1 || stopBits > 1 || dataBits < 0 || stopBits < 0)
        return aErrParam;
    *stream = nullptr;
    SerialRef* r = sNewRef(path, speed);
    if (!r) return aErrMemory;
    aStream* s = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, r);
    if (!s) {
        delete r;
        return aErrResource;
    }
    aErr err = sStreamOpenSerial(r, parity, dataBits, stopBits);
    if (err != aErrNone) {
        aStream_Destroy(&s);
        return err;
    }
    aStream_SetWait(s, sSerialWait);
    *stream = s;
    return aErrNone;
}

aErr aStream_CreateSerial_Packetized(const char* path, int32_t speed, bool parity, int32_t dataBits,
                                     int32_t stopBits, aStream** stream) {
    if (!path || !stream || dataBits > 1 || stopBits > 1 || dataBits < 0 || stopBits < 0)
        return aErrResource;
    *stream = nullptr;
    SerialRef* r = sNewRef(path, speed);
    if (!r) return aErrResource;
    aErr err = sStreamOpenSerial(r, parity, dataBits, stopBits);
    if (err != aErrNone) {
        delete r;
        return err;
    }
    aStream* s = nullptr;
    err = aStream_CreateCobsEncoding(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, r, &s);
    if (err != aErrNone) {
        sSerialDelete(r);
        return err;
    }
    aCobs_SetInnerWait(s, sSerialWait);
    *stream = s;
    return aErrNone;
}
