#include "UsbEndpoint.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "VirtualUsbBus.h"

namespace modsim {

namespace {

// A module on the virtual USB bus. Bytes the host writes arrive on the bus's worker thread and
// are posted to the event loop; bytes for the host are queued on the IN endpoint. Leaving the bus
// (loader start, reboot, a dropped link) unplugs the device; coming back plugs it in again, in
// loader mode with the loader's product id.
class UsbEndpoint : public Endpoint {
  public:
    UsbEndpoint(Simulator& sim, Module& m, std::shared_ptr<vusb::VirtualUsbBus> bus,
                vusb::VirtualUsbDevice& dev)
        : sim_(sim),
          m_(m),
          bus_(std::move(bus)),
          dev_(dev),
          alive_(std::make_shared<std::atomic<bool>>(true)) {
        std::shared_ptr<std::atomic<bool>> alive = alive_;
        EventLoop* loop = &sim_.loop();
        dev_.onOut([this, alive, loop](const std::vector<uint8_t>& bytes) {
            if (!alive->load()) return;
            loop->post([this, alive, bytes] {
                if (alive->load()) bytesIn(bytes);
            });
        });
        openSession();
    }

    ~UsbEndpoint() override {
        alive_->store(false);
        dev_.onOut(nullptr);
        for (uint64_t t : {replugTimer_, unplugTimer_})
            if (t) sim_.cancel(t);
        closeSession();
    }

    void onEvent(ModuleEvent e) override {
        switch (e) {
            case ModuleEvent::DropLinks:
                sim_.log(m_.tag() + " usb: dropping the link (unplugged for 100 ms)");
                leave();
                comeBack(100, pid());
                break;
            case ModuleEvent::LoaderStarted:
                // Let the answer to LOAD reach the host before the device leaves the bus.
                if (unplugTimer_) sim_.cancel(unplugTimer_);
                unplugTimer_ = sim_.after(50, [this] {
                    unplugTimer_ = 0;
                    sim_.log(m_.tag() + " usb: leaving the bus for the loader");
                    leave();
                    comeBack(m_.config().loaderDelayMs, pid());
                });
                break;
            case ModuleEvent::Down:
                leave();
                break;
            case ModuleEvent::Up:
                if (!dev_.plugged()) comeBack(0, pid());
                break;
            default:
                break;
        }
    }

    std::string describe() const override {
        char b[48];
        std::snprintf(b, sizeof b, "%s:usb=%04x:%04x", m_.tag().c_str(), dev_.identity().vendorId,
                      dev_.identity().productId);
        return b;
    }

  private:
    uint16_t pid() const {
        return uint16_t(m_.inLoader() ? m_.config().loaderProductId : m_.config().productId);
    }

    void leave() {
        if (replugTimer_) sim_.cancel(replugTimer_);
        replugTimer_ = 0;
        closeSession();
        if (dev_.plugged()) dev_.unplug();
    }

    void comeBack(uint32_t delayMs, uint16_t productId) {
        if (replugTimer_) sim_.cancel(replugTimer_);
        replugTimer_ = sim_.after(delayMs, [this, productId] {
            replugTimer_ = 0;
            if (!m_.up() || dev_.plugged()) return;
            dev_.plugIn(productId);
            openSession();
            char b[64];
            std::snprintf(b, sizeof b, " usb: on the bus again as %04x:%04x",
                          dev_.identity().vendorId, productId);
            sim_.log(m_.tag() + b);
        });
    }

    void openSession() {
        // Bytes go out only while a host holds the interface, so a host that opens the device
        // later does not find a backlog of heartbeats and answers meant for an earlier one.
        session_ = sim_.openSession(m_, false, "usb", [this](const std::vector<uint8_t>& b) {
            if (dev_.plugged() && dev_.claimed()) dev_.send(b);
        });
    }

    void closeSession() {
        if (session_) sim_.closeSession(session_);
        session_ = 0;
    }

    void bytesIn(const std::vector<uint8_t>& bytes) {
        if (LinkSession* s = sim_.session(session_)) s->bytesIn(bytes.data(), bytes.size());
    }

    Simulator& sim_;
    Module& m_;
    std::shared_ptr<vusb::VirtualUsbBus> bus_;
    vusb::VirtualUsbDevice& dev_;
    std::shared_ptr<std::atomic<bool>> alive_;
    uint64_t session_ = 0;
    uint64_t replugTimer_ = 0, unplugTimer_ = 0;
};

}  // namespace

std::unique_ptr<Endpoint> makeUsbEndpoint(Simulator& sim, Module& m, std::string& error) {
    std::shared_ptr<vusb::VirtualUsbBus> bus =
        std::static_pointer_cast<vusb::VirtualUsbBus>(sim.usbBus());
    if (!bus) {
        try {
            bus = std::make_shared<vusb::VirtualUsbBus>();
        } catch (const std::exception& e) {
            error = std::string("cannot make the virtual USB bus: ") + e.what();
            return nullptr;
        }
        sim.setUsbBus(bus, bus->rootDir());
    }
    vusb::UsbIdentity id;
    id.vendorId = sim.vendorId();
    id.productId = uint16_t(m.inLoader() ? m.config().loaderProductId : m.config().productId);
    char serial[12];
    std::snprintf(serial, sizeof serial, "%08X", m.serial());
    id.serial = serial;
    id.manufacturer = "Kestrova";
    id.product = "Halvorine module (simulated)";
    vusb::VirtualUsbDevice& dev = bus->plug(id);
    return std::make_unique<UsbEndpoint>(sim, m, bus, dev);
}

}  // namespace modsim
