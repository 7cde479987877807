// USB links on the virtual USB bus: the link table opens the module through libusb, syncs, and
// the engine talks to a scripted module that answers magic packets and echoes module packets.
// Runs under the bus's preload library (see this folder's CMakeLists.txt).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "VirtualUsbBus.h"
#include "engine/aLink.h"
#include "transport/hvusb_driver.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint32_t kSerial = 0x00BEEF01;
constexpr uint8_t kAddress = 0x06;

// The module's side: OUT transfers are cut into packets; magic packets are answered, packets to
// the module's address are echoed (unless muted), and everything is recorded.
class UsbModule {
  public:
    explicit UsbModule(vusb::VirtualUsbDevice& device) : device_(device) {
        device_.onOut([this](const Bytes& bytes) { take(bytes); });
    }
    ~UsbModule() { device_.onOut(nullptr); }

    void mute(bool on) {
        std::lock_guard<std::mutex> hold(lock_);
        muted_ = on;
    }
    // Waits until the host has sent `packet`.
    bool received(const Bytes& packet, int ms) {
        std::unique_lock<std::mutex> hold(lock_);
        return seen_.wait_for(hold, std::chrono::milliseconds(ms), [&] {
            for (const Bytes& p : packets_)
                if (p == packet) return true;
            return false;
        });
    }

  private:
    // Runs on the bus's worker thread.
    void take(const Bytes& bytes) {
        Bytes out;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (uint8_t b : bytes) {
                partial_.push_back(b);
                if (partial_.size() < 2 || partial_.size() != size_t(partial_[1]) + 2) continue;
                packets_.push_back(partial_);
                if (!muted_ && partial_ == Bytes{0xAD, 0x00}) {
                    out.push_back(kAddress);
                    out.push_back(0);
                } else if (!muted_ && partial_[0] == kAddress) {
                    out.insert(out.end(), partial_.begin(), partial_.end());
                }
                partial_.clear();
            }
        }
        seen_.notify_all();
        if (!out.empty()) device_.send(out);
    }

    vusb::VirtualUsbDevice& device_;
    std::mutex lock_;
    std::condition_variable seen_;
    std::vector<Bytes> packets_;
    Bytes partial_;
    bool muted_ = false;
};

vusb::UsbIdentity identity() {
    vusb::UsbIdentity id;
    id.vendorId = HALVORINE_VENDOR_ID;
    id.productId = 0x0011;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", kSerial);
    id.serial = text;
    id.product = "Hub";
    return id;
}

class UsbLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(vusb::VirtualUsbBus::inMockEnvironment()) << "run under sim/vusb/vusb-run";
        bus = std::make_unique<vusb::VirtualUsbBus>();
        device = &bus->plug(identity());
        module = std::make_unique<UsbModule>(*device);
    }
    void TearDown() override {
        if (id) aLink_Destroy(&id);
        module.reset();
        Halvorine_libusb_exit();  // the next test has a bus of its own
        bus.reset();
    }

    aPacket* roundTrip(uint8_t value) {
        aPacket* p = aPacket_CreateWithData(kAddress, 1, &value);
        EXPECT_EQ(aLink_PutPacket(id, p), aErrNone);
        aPacket_Destroy(&p);
        return aLink_AwaitFirst(
            id, [](const aPacket* q, void* v) { return q->data[0] == *static_cast<uint8_t*>(v); },
            &value, 2000);
    }

    std::unique_ptr<vusb::VirtualUsbBus> bus;
    vusb::VirtualUsbDevice* device = nullptr;
    std::unique_ptr<UsbModule> module;
    uint32_t id = 0;
};

TEST_F(UsbLink, CreationSyncsAndTheLinkCarriesPackets) {
    id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    EXPECT_TRUE(module->received({0xAF, 0x01, 0x01}, 2000));
    EXPECT_EQ(aLink_GetPacket(id), nullptr);  // the sync's spare answers were discarded

    aPacket* echo = roundTrip(0x5A);
    ASSERT_NE(echo, nullptr);
    EXPECT_EQ(echo->address, kAddress);
    aPacket_Destroy(&echo);

    device->send({kAddress, 0x02, 0x00, 0x00});  // heartbeat up
    EXPECT_TRUE(module->received({kAddress, 0x02, 0x00, 0x02}, 2000));

    uint32_t again = aLink_CreateUSB(kSerial);
    EXPECT_EQ(again, id);
    EXPECT_EQ(aLink_Destroy(&again), aErrNone);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
    EXPECT_TRUE(module->received({0xAF, 0x01, 0x00}, 2000));
}

// The sync at creation and the stop at destruction wake the receive thread out of its IN
// transfer (which waits up to 1000 ms for a silent module) instead of waiting it out.
TEST_F(UsbLink, CreationAndDestructionDoNotWaitOutTheReadTimeOut) {
    using Clock = std::chrono::steady_clock;
    for (int round = 0; round < 2; ++round) {
        const Clock::time_point t0 = Clock::now();
        id = aLink_CreateUSB(kSerial);
        const Clock::duration created = Clock::now() - t0;
        ASSERT_NE(id, 0u);
        EXPECT_LT(created, std::chrono::milliseconds(900));  // 1.1 s when waited out
        const Clock::time_point t1 = Clock::now();
        EXPECT_EQ(aLink_Destroy(&id), aErrNone);
        EXPECT_LT(Clock::now() - t1, std::chrono::milliseconds(600));
        EXPECT_TRUE(module->received({0xAF, 0x01, 0x00}, 2000));
    }
}

TEST_F(UsbLink, AModuleThatDoesNotAnswerTheSyncGivesNoLink) {
    module->mute(true);
    EXPECT_EQ(aLink_CreateUSB(kSerial), 0u);
    EXPECT_TRUE(module->received({0xAD, 0x00}, 0));
    EXPECT_EQ(aLink_CreateUSB(kSerial + 1), 0u);  // no such module on the bus
}

TEST_F(UsbLink, UnpluggedModuleFailsReadsAndResetReopensItWhenItIsBack) {
    id = aLink_CreateUSB(kSerial);
    ASSERT_NE(id, 0u);
    device->unplug();
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (aLink_GetStatus(id) != kLinkStatusIOError && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(aLink_GetStatus(id), kLinkStatusIOError);
    EXPECT_EQ(aLink_AwaitFirst(
                  id, [](const aPacket*, void*) { return true; }, nullptr, 5000),
              nullptr);

    device->plugIn(0x0011);
    EXPECT_EQ(aLink_Reset(id), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id), kLinkStatusRunning);
    aPacket* echo = roundTrip(0x6B);
    ASSERT_NE(echo, nullptr);
    aPacket_Destroy(&echo);
}

}  // namespace
