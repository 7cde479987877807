// The virtual USB bus as libusb sees it: enumeration and descriptors, claims, held IN transfers,
// time-outs, unplugging and plugging back in, and a second process on the same bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "VirtualUsbBus.h"

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

vusb::UsbIdentity identity(uint16_t pid = 0x0042, const char* serial = "0000ABCD") {
    vusb::UsbIdentity id;
    id.vendorId = 0x1234;
    id.productId = pid;
    id.serial = serial;
    id.product = "Probe";
    return id;
}

bool releasedSoon(const vusb::VirtualUsbDevice& dev) {
    for (int i = 0; i < 200 && dev.claimed(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return !dev.claimed();
}

class BusTest : public ::testing::Test {
  protected:
    std::unique_ptr<vusb::VirtualUsbBus> bus;
    libusb_context* ctx = nullptr;
    void SetUp() override {
        ASSERT_TRUE(vusb::VirtualUsbBus::inMockEnvironment()) << "run under sim/vusb/vusb-run";
        bus = std::make_unique<vusb::VirtualUsbBus>();
    }
    void TearDown() override {
        if (ctx) libusb_exit(ctx);
        bus.reset();
    }
    libusb_context* context() {
        if (!ctx) {
            EXPECT_EQ(libusb_init(&ctx), 0);
        }
        return ctx;
    }
    libusb_device_handle* openClaimed(uint16_t pid = 0x0042) {
        libusb_device_handle* h = libusb_open_device_with_vid_pid(context(), 0x1234, pid);
        EXPECT_NE(h, nullptr);
        if (h) {
            EXPECT_EQ(libusb_claim_interface(h, 0), 0);
        }
        return h;
    }
};

TEST_F(BusTest, DescriptorsAndStringsAsDeclared) {
    vusb::UsbIdentity id = identity();
    id.maxPacket = 64;
    id.manufacturer = "Maker";
    bus->plug(id);
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context(), &list), 1);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(d.idVendor, 0x1234);
    EXPECT_EQ(d.idProduct, 0x0042);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(list[0], 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 1);
    const libusb_interface_descriptor& alt = config->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceClass, 0xFF);
    EXPECT_EQ(alt.bInterfaceSubClass, 0x88);
    EXPECT_EQ(alt.bInterfaceProtocol, 0x10);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x01);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x81);
    EXPECT_EQ(libusb_get_max_packet_size(list[0], 0x81), 64);
    libusb_free_config_descriptor(config);

    libusb_device_handle* h = nullptr;
    ASSERT_EQ(libusb_open(list[0], &h), 0);
    unsigned char text[64] = {0};
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iSerialNumber, text, sizeof text), 8);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "0000ABCD");
    EXPECT_EQ(libusb_get_string_descriptor_ascii(h, d.iManufacturer, text, sizeof text), 5);
    EXPECT_STREQ(reinterpret_cast<char*>(text), "Maker");
    EXPECT_LT(libusb_get_string_descriptor_ascii(h, 9, text, sizeof text), 0);  // stalls
    libusb_close(h);
    libusb_free_device_list(list, 1);
}

TEST_F(BusTest, OneClaimAtATime) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity());
    libusb_device_handle* first = openClaimed();
    EXPECT_TRUE(dev.claimed());
    libusb_device_handle* second = libusb_open_device_with_vid_pid(context(), 0x1234, 0x0042);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(libusb_claim_interface(second, 0), LIBUSB_ERROR_BUSY);
    EXPECT_NE(libusb_claim_interface(second, 1), 0);  // no such interface
    libusb_close(first);  // closing drops the claim, as soon as umockdev sees the close
    EXPECT_TRUE(releasedSoon(dev));
    EXPECT_EQ(libusb_claim_interface(second, 0), 0);
    libusb_close(second);
    EXPECT_TRUE(releasedSoon(dev));
}

TEST_F(BusTest, InTransferIsHeldUntilTheDeviceSends) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity());
    libusb_device_handle* h = openClaimed();
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dev.send({1, 2, 3});
    });
    unsigned char buf[64];
    int n = 0;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 2000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
    later.join();
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{1, 2, 3}));
    libusb_close(h);
}

TEST_F(BusTest, TimedOutInTransferIsDiscardedWithoutCpuSpin) {
    bus->plug(identity());
    libusb_device_handle* h = openClaimed();
    unsigned char buf[64];
    int n = -1;
    const std::clock_t cpu0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 300), LIBUSB_ERROR_TIMEOUT);
    const auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(n, 0);
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.1);  // the wait sleeps
    libusb_close(h);
}

TEST_F(BusTest, OutTransfersReachTheModel) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity());
    libusb_device_handle* h = openClaimed();
    unsigned char data[100];
    for (int i = 0; i < 100; ++i) data[i] = uint8_t(i);
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x01, data, 100, &n, 1000), 0);
    EXPECT_EQ(n, 100);
    EXPECT_EQ(dev.receive(100, 1000), Bytes(data, data + 100));
    dev.failOutTransfers(1, EPIPE);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, data, 10, &n, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(h, 0x01), 0);
    EXPECT_EQ(dev.clearHaltCount(), 1);
    dev.failOutTransfers(1, EPROTO);
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, data, 10, &n, 1000), LIBUSB_ERROR_IO);
    EXPECT_EQ(dev.outTransferSizes(), std::vector<size_t>{100});
    libusb_close(h);
}

TEST_F(BusTest, UnplugEndsPendingTransfersAndPlugInReEnumerates) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity());
    libusb_device_handle* h = openClaimed();
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dev.unplug();
    });
    unsigned char buf[64];
    int n = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 3000), LIBUSB_ERROR_NO_DEVICE);
    unplug.join();
    EXPECT_FALSE(dev.plugged());
    EXPECT_EQ(libusb_bulk_transfer(h, 0x01, buf, 4, &n, 1000), LIBUSB_ERROR_NO_DEVICE);
    libusb_close(h);

    dev.plugIn(0x0043);  // the module restarted into its loader
    EXPECT_TRUE(dev.plugged());
    libusb_exit(ctx);
    ctx = nullptr;
    libusb_device** list = nullptr;
    ASSERT_EQ(libusb_get_device_list(context(), &list), 1);
    libusb_device_descriptor d;
    ASSERT_EQ(libusb_get_device_descriptor(list[0], &d), 0);
    EXPECT_EQ(d.idProduct, 0x0043);
    libusb_free_device_list(list, 1);
    h = openClaimed(0x0043);
    dev.send({5});
    ASSERT_EQ(libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 2000), 0);
    EXPECT_EQ(n, 1);
    libusb_close(h);
}

TEST_F(BusTest, AnotherProcessUsesTheBusThroughItsEnvironment) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity(0x0077));
    dev.onOut([&dev](const Bytes& bytes) {
        const std::string reply = "pong:" + std::string(bytes.begin(), bytes.end());
        dev.send(Bytes(reply.begin(), reply.end()));
    });
    // The child's environment: ours (which may lack the preload) plus the bus's.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("UMOCKDEV_DIR=", 0) != 0 && v.rfind("LD_PRELOAD=", 0) != 0) env.push_back(v);
    }
    for (const std::string& v : bus->environment()) env.push_back(v);
    std::vector<char*> envp;
    for (std::string& v : env) envp.push_back(v.data());
    envp.push_back(nullptr);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char probe[] = VUSB_PROBE, vid[] = "1234", pid[] = "0077", word[] = "ping";
    char* argv[] = {probe, vid, pid, word, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, probe, &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string printed;
    char buf[128];
    ssize_t got;
    while ((got = read(out[0], buf, sizeof buf)) > 0) printed.append(buf, size_t(got));
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(printed, "pong:ping\n");
}

}  // namespace

namespace {

// usbdevfs directly, as a program not using libusb would: a blocking REAPURB waits for the data.
TEST_F(BusTest, BlockingReapWaitsForTheTransfer) {
    vusb::VirtualUsbDevice& dev = bus->plug(identity());
    const int fd = open("/dev/bus/usb/001/002", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned itf = 0;
    ASSERT_EQ(ioctl(fd, USBDEVFS_CLAIMINTERFACE, &itf), 0);
    unsigned char buf[64];
    usbdevfs_urb urb{};
    urb.type = USBDEVFS_URB_TYPE_BULK;
    urb.endpoint = 0x81;
    urb.buffer = buf;
    urb.buffer_length = sizeof buf;
    ASSERT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, &urb), 0);
    void* reaped = nullptr;
    EXPECT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), -1);
    EXPECT_EQ(errno, EAGAIN);
    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        dev.send({4, 5});
    });
    ASSERT_EQ(ioctl(fd, USBDEVFS_REAPURB, &reaped), 0) << strerror(errno);
    later.join();
    EXPECT_EQ(reaped, &urb);
    EXPECT_EQ(urb.status, 0);
    ASSERT_EQ(urb.actual_length, 2);
    EXPECT_EQ(buf[0], 4);
    EXPECT_EQ(buf[1], 5);
    close(fd);
}

}  // namespace
