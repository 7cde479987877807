// The USB stream on the virtual USB bus (libusb back end) and on a pty (kernel-driver back end).
// Runs under the bus's preload library (see this folder's CMakeLists.txt).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VirtualUsbBus.h"
#include "transport/aStreamUSB.h"
#include "transport/hvusb_driver.h"
#include "transport/hvusb_testing.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSerial = 0x0000ABCD;

vusb::UsbIdentity module(uint32_t serial, uint16_t maxPacket = 512, uint16_t productId = 0x0011) {
    vusb::UsbIdentity id;
    id.vendorId = HALVORINE_VENDOR_ID;
    id.productId = productId;
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    id.serial = text;
    id.product = "Hub";
    id.maxPacket = maxPacket;
    return id;
}

Bytes pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + i / 256);
    return b;
}

// Reads `n` bytes one at a time as the link engine does, for at most `ms` milliseconds.
Bytes readBytes(aStream* s, size_t n, int ms = 3000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
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

class UsbStreamTest : public ::testing::Test {
  protected:
    std::unique_ptr<vusb::VirtualUsbBus> bus;
    vusb::VirtualUsbDevice* device = nullptr;
    aStream* s = nullptr;

    void SetUp() override {
        ASSERT_TRUE(vusb::VirtualUsbBus::inMockEnvironment()) << "run under sim/vusb/vusb-run";
        bus = std::make_unique<vusb::VirtualUsbBus>();
        device = &bus->plug(module(kSerial, maxPacket()));
    }
    void TearDown() override {
        if (s) aStream_Destroy(&s);
        // Each test has its own bus: the next one needs a fresh libusb context.
        Halvorine_libusb_exit();
        bus.reset();
    }
    virtual uint16_t maxPacket() const { return 512; }
    void open() { ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone); }
};

TEST_F(UsbStreamTest, RefusesSerialZeroAndFindsOnlyItsModule) {
    EXPECT_EQ(aStream_CreateUSB(0, &s), aErrParam);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateUSB(kSerial, nullptr), aErrParam);
    // Same serial text but another vendor, or a product id with its top bit set: not a module.
    vusb::UsbIdentity other = module(0x1234);
    other.vendorId = 0x1235;
    bus->plug(other);
    bus->plug(module(0x5678, 512, 0x8001));
    Halvorine_libusb_exit();
    EXPECT_EQ(aStream_CreateUSB(0x1234, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateUSB(0x5678, &s), aErrNotFound);
    EXPECT_EQ(aStream_CreateUSB(0x0000ABCE, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    open();
    EXPECT_TRUE(device->claimed());
    aStream_Destroy(&s);
    EXPECT_FALSE(device->claimed());
}

TEST_F(UsbStreamTest, InterfaceHeldByAnotherProcessIsBusy) {
    // Another program on the same bus claims the interface and holds it until its input ends.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("UMOCKDEV_DIR=", 0) != 0 && v.rfind("LD_PRELOAD=", 0) != 0) env.push_back(v);
    }
    for (const std::string& v : bus->environment()) env.push_back(v);
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char probe[] = VUSB_PROBE, hold[] = "--hold";
    char vid[8], pid[8];
    snprintf(vid, sizeof vid, "%04x", HALVORINE_VENDOR_ID);
    snprintf(pid, sizeof pid, "%04x", device->identity().productId);
    char* argv[] = {probe, vid, pid, hold, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, probe, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    char line[16] = {0};
    ssize_t got = read(out[0], line, sizeof line - 1);
    EXPECT_EQ(std::string(line, got > 0 ? size_t(got) : 0), "claimed\n");
    EXPECT_EQ(aStream_CreateUSB(kSerial, &s), aErrBusy);
    EXPECT_EQ(s, nullptr);
    close(in[1]);  // the other program lets go and ends
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(out[0]);
    open();
}

TEST_F(UsbStreamTest, WriteOf4096BytesGoesOutIn511ByteChunks) {
    open();
    const Bytes data = pattern(4096);
    ASSERT_EQ(aStream_Write(s, data.data(), data.size()), aErrNone);
    std::vector<size_t> expected(8, 511);
    expected.push_back(8);
    EXPECT_EQ(device->outTransferSizes(), expected);
    EXPECT_EQ(device->receive(4096, 2000), data);
    const uint8_t one = 0x5A;
    ASSERT_EQ(aStream_Write(s, &one, 1), aErrNone);
    EXPECT_EQ(device->receive(1, 2000), Bytes{0x5A});
}

TEST_F(UsbStreamTest, ReadsAreServedFromOneBufferedTransfer) {
    open();
    const Bytes data = pattern(700);  // two packets, the second one short
    device->send(data);
    EXPECT_EQ(readBytes(s, 700), data);
    const Bytes more = pattern(1500);  // beyond one 1024-byte transfer
    device->send(more);
    EXPECT_EQ(readBytes(s, 1500), more);
}

TEST_F(UsbStreamTest, ReadTimeOutHandsOutTheBytesItDelivered) {
    open();
    // One full packet and no short one: the transfer stays open until the host's time-out.
    const Bytes data = pattern(512);
    device->send(data);
    auto t0 = std::chrono::steady_clock::now();
    uint8_t first = 0;
    ASSERT_EQ(aStream_Read(s, &first, 1), aErrNone);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(900));
    EXPECT_LT(waited, std::chrono::milliseconds(3000));
    Bytes got = {first};
    Bytes rest = readBytes(s, 511, 100);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, data);
}

TEST_F(UsbStreamTest, FourIOErrorsPassTheFifthFailsTheDevice) {
    open();
    device->failInTransfers(5, EPROTO);
    uint8_t b;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady) << i;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    device->send({1, 2, 3});
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    EXPECT_EQ(aStream_Write(s, &b, 1), aErrIO);
}

TEST_F(UsbStreamTest, ASuccessResetsTheErrorCount) {
    open();
    device->failInTransfers(4, EPROTO);
    uint8_t b;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    device->send({7});
    ASSERT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 7);
    device->failInTransfers(4, EPROTO);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    device->send({8});
    ASSERT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 8);
}

TEST_F(UsbStreamTest, StalledOutEndpointIsClearedAndTheBytesSentOnce) {
    open();
    device->failOutTransfers(1, EPIPE);
    const Bytes data = pattern(40);
    ASSERT_EQ(aStream_Write(s, data.data(), data.size()), aErrNone);
    EXPECT_EQ(device->clearHaltCount(), 1);
    EXPECT_EQ(device->receive(40, 2000), data);
    EXPECT_EQ(device->receive(1, 50), Bytes{});
}

TEST_F(UsbStreamTest, TenFailedTransfersEndAWrite) {
    open();
    device->failOutTransfers(10, EPROTO);
    const Bytes data = pattern(10);
    EXPECT_EQ(aStream_Write(s, data.data(), data.size()), aErrWrite);
    EXPECT_EQ(device->receive(1, 50), Bytes{});
}

TEST_F(UsbStreamTest, StalledInEndpointIsClearedAndReadsGoOn) {
    open();
    device->failInTransfers(1, EPIPE);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(device->clearHaltCount(), 1);
    device->send({9});
    ASSERT_EQ(aStream_Read(s, &b, 1), aErrNone);
    EXPECT_EQ(b, 9);
}

TEST_F(UsbStreamTest, UnpluggedModuleFailsAndComesBackWithAnotherProductId) {
    open();
    device->unplug();
    uint8_t b;
    aErr err = aErrNone;
    for (int i = 0; i < 10 && err != aErrIO; ++i) err = aStream_Read(s, &b, 1);
    EXPECT_EQ(err, aErrIO);
    aStream_Destroy(&s);
    device->plugIn(0x0012);
    Halvorine_libusb_exit();  // as the update flow refreshes its device list
    open();
    device->send({0x42});
    EXPECT_EQ(readBytes(s, 1), Bytes{0x42});
}

TEST_F(UsbStreamTest, OneReaderAndOneWriterAtOnce) {
    open();
    device->onOut([this](const Bytes& bytes) { device->send(bytes); });  // an echoing module
    const Bytes data = pattern(6000);
    std::thread writer([&] {
        for (size_t i = 0; i < data.size(); i += 30)
            EXPECT_EQ(aStream_Write(s, &data[i], 30), aErrNone);
    });
    Bytes got = readBytes(s, data.size(), 20000);
    writer.join();
    EXPECT_EQ(got, data);
}

// A get that waits for its IN transfer returns soon when woken, and what the transfer then brings
// (even bytes sent before the next get) is handed out by the following gets, in order.
TEST_F(UsbStreamTest, WakeEndsAWaitingReadWithoutLosingItsTransfer) {
    open();
    std::atomic<bool> reading{false};
    std::thread waker([&] {
        while (!reading) std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        aStream_Wake(s);
    });
    reading = true;
    auto t0 = std::chrono::steady_clock::now();
    uint8_t byte = 0;
    EXPECT_EQ(aStream_Read(s, &byte, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(700));
    waker.join();

    const Bytes data = pattern(300);
    device->send(data);  // lands in the transfer still in flight
    EXPECT_EQ(readBytes(s, data.size()), data);

    // A wake with no get waiting is spent by the next get, which then reads normally.
    aStream_Wake(s);
    device->send({0x11, 0x22});
    EXPECT_EQ(readBytes(s, 2), (Bytes{0x11, 0x22}));
}

class UsbFullSpeedTest : public UsbStreamTest {
    uint16_t maxPacket() const override { return 64; }
};

TEST_F(UsbFullSpeedTest, SmallWriteIsOneTransferAndLargeOnesUsePacketChunks) {
    open();
    const Bytes data = pattern(30);
    ASSERT_EQ(aStream_Write(s, data.data(), data.size()), aErrNone);
    const Bytes big = pattern(130);
    ASSERT_EQ(aStream_Write(s, big.data(), big.size()), aErrNone);
    EXPECT_EQ(device->outTransferSizes(), (std::vector<size_t>{30, 64, 64, 2}));
}

// The kernel-driver back end: a pty stands in for the driver's node.
class KernelNodeTest : public ::testing::Test {
  protected:
    std::string dir;
    int master = -1;
    aStream* s = nullptr;
    void SetUp() override {
        char tmpl[] = "/tmp/hvkdXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        // Raw, so that the bytes pass unchanged.
        termios t;
        tcgetattr(master, &t);
        cfmakeraw(&t);
        tcsetattr(master, TCSANOW, &t);
        const std::string node = dir + "/halvorine.0000ABCD";
        ASSERT_EQ(symlink(ptsname(master), node.c_str()), 0);
        hvusb_set_node_directory(dir.c_str());
    }
    void TearDown() override {
        if (s) {
            EXPECT_EQ(aStream_Destroy(&s), aErrNone);
        }
        hvusb_set_node_directory(nullptr);
        close(master);
        ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
    }
    Bytes fromMaster(size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 2000) != 1) break;
            uint8_t buf[512];
            ssize_t got = read(master, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        return out;
    }
};

TEST_F(KernelNodeTest, NodeIsUsedEvenWhenLibusbSeesTheModule) {
    vusb::VirtualUsbBus bus;
    vusb::VirtualUsbDevice& device = bus.plug(module(kSerial));
    EXPECT_TRUE(hvusb_is_kernel_driver_installed(kSerial));
    EXPECT_FALSE(hvusb_is_kernel_driver_installed(kSerial + 1));
    ASSERT_EQ(aStream_CreateUSB(kSerial, &s), aErrNone);
    EXPECT_FALSE(device.claimed());

    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);  // nothing waiting: at once
    EXPECT_EQ(aStream_WaitReadable(s, 20), aErrTimeout);
    const Bytes data = pattern(300);
    ASSERT_EQ(aStream_Write(s, data.data(), data.size()), aErrNone);
    EXPECT_EQ(fromMaster(300), data);
    ASSERT_EQ(write(master, data.data(), 100), 100);
    EXPECT_EQ(readBytes(s, 100), Bytes(data.begin(), data.begin() + 100));
    EXPECT_EQ(device.outTransferSizes(), std::vector<size_t>{});
    aStream_Destroy(&s);
    Halvorine_libusb_exit();
}

TEST_F(KernelNodeTest, BackEndsRefuseDevicesOfTheOtherMode) {
    hvusbDevice* kernel = hvusb_create_usb(hvusbModeKernel);
    ASSERT_NE(kernel, nullptr);
    uint8_t b = 0;
    EXPECT_EQ(hvusb_get_from_kernel_device(kernel, &b), aErrMode);  // not open yet
    EXPECT_EQ(hvusb_open_halvorine_USBlib_device(kernel, "0000ABCD"), aErrMode);
    EXPECT_EQ(hvusb_open_halvorine_device(kernel, "0000ABCE"), aErrIO);  // no such node
    ASSERT_EQ(hvusb_open_halvorine_device(kernel, "0000ABCD"), aErrNone);
    EXPECT_EQ(hvusb_get_from_USBlib_device(kernel, &b), aErrMode);
    EXPECT_EQ(hvusb_close_halvorine_USBlib_device(kernel), aErrMode);
    EXPECT_EQ(hvusb_close_halvorine_device(kernel), aErrNone);
    EXPECT_EQ(hvusb_close_halvorine_device(kernel), aErrNone);  // already closed
    EXPECT_EQ(hvusb_destroy(&kernel), aErrNone);
    EXPECT_EQ(kernel, nullptr);
    EXPECT_EQ(hvusb_destroy(&kernel), aErrParam);
}

TEST(LibusbContext, ExitForgetsTheContextAndTheNextUseMakesANewOne) {
    vusb::VirtualUsbBus bus;
    ASSERT_EQ(Halvorine_libusb_init(), aErrNone);
    libusb_context* first = Halvorine_libusb_context();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Halvorine_libusb_context(), first);
    Halvorine_libusb_exit();
    Halvorine_libusb_exit();  // harmless twice
    EXPECT_NE(Halvorine_libusb_context(), nullptr);
    Halvorine_libusb_exit();
}

}  // namespace
