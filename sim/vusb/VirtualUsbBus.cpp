// VirtualUsbBus over a umockdev testbed: sysfs declarations, a usbdevfs request handler per
// device node, and a FIFO in place of each node so that libusb's poll sleeps until a URB can be
// reaped.
#include "VirtualUsbBus.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>

namespace vusb {

namespace {

constexpr size_t kPage = 4096;
constexpr uint8_t kOutEndpoint = 0x01;
constexpr uint8_t kInEndpoint = 0x81;

std::string hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void put16(std::vector<uint8_t>& v, uint16_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id) {
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {0, 0, 0, 64});
    put16(d, id.vendorId);
    put16(d, id.productId);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

std::vector<uint8_t> configDescriptor(const UsbIdentity& id) {
    std::vector<uint8_t> c = {9, 2};
    put16(c, 9 + 9 + 7 + 7);
    c.insert(c.end(), {1, 1, 0, 0x80, 50});
    c.insert(c.end(),
             {9, 4, 0, 0, 2, id.interfaceClass, id.interfaceSubClass, id.interfaceProtocol, 0});
    for (uint8_t ep : {kOutEndpoint, kInEndpoint}) {
        c.insert(c.end(), {7, 5, ep, 0x02});
        put16(c, id.maxPacket);
        c.push_back(0);
    }
    return c;
}

std::vector<uint8_t> stringDescriptor(const std::string& text) {
    std::vector<uint8_t> s = {uint8_t(2 + 2 * text.size()), 3};
    for (char ch : text) put16(s, uint8_t(ch));
    return s;
}

struct Urb {
    UMockdevIoctlClient* client = nullptr;  // referenced
    UMockdevIoctlData* urb = nullptr;       // referenced; the client's usbdevfs_urb
    UMockdevIoctlData* buffer = nullptr;    // referenced; its data buffer (may be null)
    size_t filled = 0;

    usbdevfs_urb* record() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
    size_t length() const { return buffer ? size_t(buffer->data_len) : 0; }
    void release() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
        if (client) g_object_unref(client);
        buffer = nullptr;
        urb = nullptr;
        client = nullptr;
    }
};

}  // namespace

// One appearance of the device on the bus: a device number, a node, a handler and a FIFO.
struct Incarnation {
    // Set before the handler is attached; read first by the worker thread, which learns of the
    // incarnation through umockdev (whose own locking the thread sanitizer cannot see).
    std::atomic<VirtualUsbDevice::State*> device{nullptr};
    int devnum = 0;
    std::string sysPath;  // "/sys/devices/..."
    std::string devnode;  // "/dev/bus/usb/001/NNN"
    UMockdevIoctlBase* handler = nullptr;
    int fifo = -1;  // our end of the FIFO that replaces the node
    bool fifoFull = false;
    bool alive = true;
    std::deque<Urb> reapable;
    std::deque<Urb> pendingIn;
    std::map<UMockdevIoctlClient*, std::set<unsigned>> claims;  // clients referenced
    std::vector<UMockdevIoctlClient*> blockedReaps;             // referenced; waiting in REAPURB
};

struct VirtualUsbBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    int nextDevnum = 2;
    std::mutex lock;  // guards nextDevnum and devices
    std::vector<std::unique_ptr<VirtualUsbDevice>> devices;
};

struct VirtualUsbDevice::State {
    VirtualUsbBus::Impl* bus = nullptr;
    UsbIdentity id;
    mutable std::mutex lock;
    std::condition_variable outArrived;
    std::vector<std::unique_ptr<Incarnation>> incarnations;  // the last one is current
    std::deque<std::vector<uint8_t>> inPackets;
    std::vector<uint8_t> outKept;
    std::vector<size_t> outSizes;
    std::function<void(const std::vector<uint8_t>&)> outHandler;
    int failOut = 0, failOutError = 0;
    int failIn = 0, failInError = 0;
    int clearHaltError = 0;
    int clearHalts = 0;

    Incarnation* current() { return incarnations.empty() ? nullptr : incarnations.back().get(); }

    // Keeps the FIFO full (the node polls "not writable", libusb sleeps) while nothing can be
    // reaped, and one page short of full (POLLOUT) while something can, or the device is gone.
    static void syncFifo(Incarnation* inc) {
        if (inc->fifo < 0) return;
        const bool ready = !inc->reapable.empty() || !inc->alive;
        static const uint8_t page[kPage] = {0};
        if (ready && inc->fifoFull) {
            uint8_t sink[kPage];
            if (read(inc->fifo, sink, sizeof sink) > 0) inc->fifoFull = false;
        } else if (!ready && !inc->fifoFull) {
            while (write(inc->fifo, page, sizeof page) == ssize_t(sizeof page)) {
            }
            inc->fifoFull = true;
        }
    }

    void finish(Incarnation* inc, Urb u, int status, size_t actual) {
        u.record()->status = status;
        u.record()->actual_length = int(actual);
        for (auto it = inc->blockedReaps.begin(); it != inc->blockedReaps.end(); ++it) {
            if (*it != u.client) continue;
            // A blocking REAPURB is waiting for this client: hand the URB over at once.
            UMockdevIoctlClient* client = *it;
            inc->blockedReaps.erase(it);
            const bool given = handOver(client, u);
            umockdev_ioctl_client_complete(client, given ? 0 : -1, given ? 0 : EFAULT);
            g_object_unref(client);
            u.release();
            return;
        }
        inc->reapable.push_back(u);
        syncFifo(inc);
    }

    // Points the reap request's argument at the URB, so that completing it returns the URB.
    static bool handOver(UMockdevIoctlClient* client, const Urb& u) {
        GError* gerr = nullptr;
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &gerr);
        if (!slot) {
            if (gerr) g_error_free(gerr);
            return false;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, u.urb);
        g_object_unref(slot);
        return true;
    }

    void endBlockedReaps(Incarnation* inc, UMockdevIoctlClient* only, int error) {
        for (auto it = inc->blockedReaps.begin(); it != inc->blockedReaps.end();) {
            if (only && *it != only) {
                ++it;
                continue;
            }
            if (error) umockdev_ioctl_client_complete(*it, -1, error);
            g_object_unref(*it);
            it = inc->blockedReaps.erase(it);
        }
    }

    void pumpIn(Incarnation* inc) {
        while (!inc->pendingIn.empty() && !inPackets.empty()) {
            Urb& u = inc->pendingIn.front();
            if (!umockdev_ioctl_client_get_connected(u.client)) {
                // Its program has gone: the bytes are for whoever reads next.
                u.release();
                inc->pendingIn.pop_front();
                continue;
            }
            std::vector<uint8_t>& packet = inPackets.front();
            const size_t room = u.length() - u.filled;
            const size_t take = std::min(room, packet.size());
            memcpy(u.buffer->data + u.filled, packet.data(), take);
            u.filled += take;
            bool shortPacket = false;
            if (take == packet.size()) {
                shortPacket = packet.size() < id.maxPacket;
                inPackets.pop_front();
            } else {
                packet.erase(packet.begin(), packet.begin() + long(take));
            }
            if (u.filled == u.length() || shortPacket) {
                Urb done = u;
                inc->pendingIn.pop_front();
                finish(inc, done, 0, done.filled);
            }
        }
    }

    // Drops what a client left behind. umockdev does not always report a closed client, so
    // claims also hold a reference and are checked for a lost connection when they matter.
    void dropClient(Incarnation* inc, UMockdevIoctlClient* client) {
        if (inc->claims.erase(client)) g_object_unref(client);
        endBlockedReaps(inc, client, 0);
        for (auto* list : {&inc->reapable, &inc->pendingIn}) {
            for (auto it = list->begin(); it != list->end();) {
                if (it->client == client) {
                    it->release();
                    it = list->erase(it);
                } else {
                    ++it;
                }
            }
        }
        syncFifo(inc);
    }

    void dropVanished(Incarnation* inc) {
        std::vector<UMockdevIoctlClient*> gone;
        for (const auto& c : inc->claims)
            if (!umockdev_ioctl_client_get_connected(c.first)) gone.push_back(c.first);
        for (UMockdevIoctlClient* client : gone) dropClient(inc, client);
    }

    bool claimedLocked() {
        for (const auto& inc : incarnations) {
            dropVanished(inc.get());
            for (const auto& c : inc->claims)
                if (!c.second.empty()) return true;
        }
        return false;
    }

    std::vector<uint8_t> controlReply(const uint8_t* setup, bool* stall) {
        *stall = false;
        const uint8_t type = setup[0], request = setup[1];
        const uint8_t descType = setup[3], index = setup[2];
        if (type == 0x80 && request == 6) {
            if (descType == 1) return deviceDescriptor(id);
            if (descType == 2) return configDescriptor(id);
            if (descType == 3) {
                if (index == 0) return {4, 3, 0x09, 0x04};
                if (index == 1) return stringDescriptor(id.manufacturer);
                if (index == 2) return stringDescriptor(id.product);
                if (index == 3) return stringDescriptor(id.serial);
            }
        }
        *stall = true;
        return {};
    }

    // The usbdevfs requests; runs on umockdev's worker thread.
    gboolean handle(Incarnation* inc, UMockdevIoctlClient* client) {
        const unsigned long request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        std::function<void()> notify;
        long result = 0;
        int error = 0;
        {
            std::lock_guard<std::mutex> hold(lock);
            if (!inc->alive && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB) {
                result = -1;
                error = ENODEV;
            } else {
                notify = dispatch(inc, client, request, arg, &result, &error);
            }
        }
        if (result != 1) umockdev_ioctl_client_complete(client, result, error);
        if (notify) notify();
        return TRUE;
    }

    // Returns work to do after the lock is released. Sets *result to 1 when the request is held.
    std::function<void()> dispatch(Incarnation* inc, UMockdevIoctlClient* client,
                                   unsigned long request, UMockdevIoctlData* arg, long* result,
                                   int* error) {
        auto fail = [&](int e) {
            *result = -1;
            *error = e;
        };
        GError* gerr = nullptr;
        switch (request) {
            case USBDEVFS_GET_CAPABILITIES: {
                UMockdevIoctlData* caps =
                    umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &gerr);
                if (!caps) break;
                const uint32_t value = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                memcpy(caps->data, &value, sizeof value);
                g_object_unref(caps);
                return nullptr;
            }
            case USBDEVFS_CLAIMINTERFACE:
            case USBDEVFS_RELEASEINTERFACE: {
                UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), &gerr);
                if (!d) break;
                unsigned itf = 0;
                memcpy(&itf, d->data, sizeof itf);
                g_object_unref(d);
                if (itf != 0) {
                    fail(ENOENT);
                    return nullptr;
                }
                if (request == USBDEVFS_RELEASEINTERFACE) {
                    auto it = inc->claims.find(client);
                    if (it == inc->claims.end() || !it->second.erase(itf)) fail(EINVAL);
                    return nullptr;
                }
                dropVanished(inc);
                for (const auto& c : inc->claims)
                    if (c.first != client && c.second.count(itf)) {
                        fail(EBUSY);
                        return nullptr;
                    }
                auto it = inc->claims.find(client);
                if (it == inc->claims.end()) {
                    g_object_ref(client);
                    it = inc->claims.emplace(client, std::set<unsigned>{}).first;
                }
                it->second.insert(itf);
                return nullptr;
            }
            case USBDEVFS_CLEAR_HALT: {
                ++clearHalts;
                if (clearHaltError) fail(clearHaltError);
                return nullptr;
            }
            case USBDEVFS_SUBMITURB:
                return submit(inc, client, arg, result, error);
            case USBDEVFS_DISCARDURB: {
                uint64_t address = 0;
                memcpy(&address, arg->data, std::min(sizeof address, size_t(arg->data_len)));
                for (auto it = inc->pendingIn.begin(); it != inc->pendingIn.end(); ++it) {
                    if (it->client == client && it->urb->client_addr == address) {
                        Urb u = *it;
                        inc->pendingIn.erase(it);
                        finish(inc, u, -ENOENT, u.filled);
                        return nullptr;
                    }
                }
                fail(EINVAL);
                return nullptr;
            }
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: {
                for (auto it = inc->reapable.begin(); it != inc->reapable.end(); ++it) {
                    if (it->client != client) continue;
                    Urb u = *it;
                    inc->reapable.erase(it);
                    const bool given = handOver(client, u);
                    u.release();
                    syncFifo(inc);
                    if (!given) fail(EFAULT);
                    return nullptr;
                }
                if (request == USBDEVFS_REAPURB && inc->alive) {
                    // Held until one of this client's URBs completes.
                    g_object_ref(client);
                    inc->blockedReaps.push_back(client);
                    *result = 1;
                    return nullptr;
                }
                fail(inc->alive ? EAGAIN : ENODEV);
                syncFifo(inc);
                return nullptr;
            }
            default:
                fail(ENOTTY);
                return nullptr;
        }
        if (gerr) g_error_free(gerr);
        fail(EFAULT);
        return nullptr;
    }

    std::function<void()> submit(Incarnation* inc, UMockdevIoctlClient* client,
                                 UMockdevIoctlData* arg, long* result, int* error) {
        GError* gerr = nullptr;
        Urb u;
        u.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &gerr);
        if (!u.urb) {
            if (gerr) g_error_free(gerr);
            *result = -1;
            *error = EFAULT;
            return nullptr;
        }
        usbdevfs_urb* r = u.record();
        if (r->buffer_length > 0) {
            u.buffer = umockdev_ioctl_data_resolve(u.urb, offsetof(usbdevfs_urb, buffer),
                                                   size_t(r->buffer_length), &gerr);
            if (!u.buffer) {
                if (gerr) g_error_free(gerr);
                g_object_unref(u.urb);
                *result = -1;
                *error = EFAULT;
                return nullptr;
            }
        }
        u.client = client;
        g_object_ref(client);
        std::function<void()> notify;
        if (r->type == USBDEVFS_URB_TYPE_CONTROL && u.length() >= 8) {
            bool stall = false;
            std::vector<uint8_t> reply = controlReply(u.buffer->data, &stall);
            const uint16_t wLength = uint16_t(u.buffer->data[6] | (u.buffer->data[7] << 8));
            const size_t n = std::min({reply.size(), size_t(wLength), u.length() - 8});
            if (n) memcpy(u.buffer->data + 8, reply.data(), n);
            finish(inc, u, stall ? -EPIPE : 0, n);
        } else if (r->type == USBDEVFS_URB_TYPE_BULK && r->endpoint == kOutEndpoint) {
            if (failOut > 0) {
                --failOut;
                finish(inc, u, -failOutError, 0);
            } else {
                std::vector<uint8_t> bytes(u.buffer ? u.buffer->data : nullptr,
                                           u.buffer ? u.buffer->data + u.length() : nullptr);
                outSizes.push_back(bytes.size());
                finish(inc, u, 0, bytes.size());
                if (outHandler) {
                    auto handler = outHandler;
                    notify = [handler, bytes] { handler(bytes); };
                } else {
                    outKept.insert(outKept.end(), bytes.begin(), bytes.end());
                    outArrived.notify_all();
                }
            }
        } else if (r->type == USBDEVFS_URB_TYPE_BULK && r->endpoint == kInEndpoint) {
            if (failIn > 0) {
                --failIn;
                finish(inc, u, -failInError, 0);
            } else {
                inc->pendingIn.push_back(u);
                pumpIn(inc);
            }
        } else {
            u.release();
            *result = -1;
            *error = EINVAL;
            return nullptr;
        }
        return notify;
    }

    void startIncarnation(uint16_t productId);
    void endIncarnation();
};

namespace {

gboolean sHandleIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer data) {
    Incarnation* inc = static_cast<Incarnation*>(data);
    // Every request is answered here; the base class's own handler must not answer it too (it
    // would fail a request that is being held).
    g_signal_stop_emission_by_name(base, "handle-ioctl");
    return inc->device.load()->handle(inc, client);
}

void sClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) {
    Incarnation* inc = static_cast<Incarnation*>(data);
    std::lock_guard<std::mutex> hold(inc->device.load()->lock);
    inc->device.load()->dropClient(inc, client);
}

}  // namespace

void VirtualUsbDevice::State::startIncarnation(uint16_t productId) {
    id.productId = productId;
    auto inc = std::make_unique<Incarnation>();
    inc->device = this;
    {
        std::lock_guard<std::mutex> hold(bus->lock);
        inc->devnum = bus->nextDevnum++;
    }
    char name[64], node[64];
    snprintf(name, sizeof name, "1-%d", inc->devnum);
    snprintf(node, sizeof node, "bus/usb/001/%03d", inc->devnum);
    inc->sysPath = std::string("/sys/devices/pci0000:00/0000:00:14.0/usb1/") + name;
    inc->devnode = std::string("/dev/") + node;

    std::vector<uint8_t> descriptors = deviceDescriptor(id);
    const std::vector<uint8_t> config = configDescriptor(id);
    descriptors.insert(descriptors.end(), config.begin(), config.end());
    char ids[160];
    snprintf(ids, sizeof ids,
             "A: idVendor=%04x\\n\nA: idProduct=%04x\\n\nA: busnum=1\\n\nA: devnum=%d\\n\n",
             id.vendorId, id.productId, inc->devnum);
    std::string text = "P: " + inc->sysPath.substr(4) + "\nN: " + node + "\n" +
                       "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + inc->devnode +
                       "\n" + "E: BUSNUM=001\nE: DEVNUM=" + std::string(node + 12) + "\n" + ids +
                       "A: speed=" + (id.maxPacket >= 512 ? "480" : "12") + "\\n\n" +
                       "A: bConfigurationValue=1\\n\nA: bNumConfigurations=1\\n\n" +
                       "A: manufacturer=" + id.manufacturer + "\\n\nA: product=" + id.product +
                       "\\n\nA: serial=" + id.serial + "\\n\n" +
                       "A: dev=189:" + std::to_string(inc->devnum - 1) + "\n" +
                       "H: descriptors=" + hex(descriptors) + "\n";
    GError* gerr = nullptr;
    if (!umockdev_testbed_add_from_string(bus->testbed, text.c_str(), &gerr)) {
        std::string message = gerr ? gerr->message : "unknown error";
        if (gerr) g_error_free(gerr);
        throw std::runtime_error("virtual USB: cannot add device: " + message);
    }
    // libusb looks for its descriptors under /sys/bus/usb/devices.
    const std::string busDir = bus->root + "/sys/bus/usb/devices";
    g_mkdir_with_parents(busDir.c_str(), 0755);
    const std::string link = busDir + "/" + name;
    if (access(link.c_str(), F_OK) != 0)
        symlink(("../../../devices/pci0000:00/0000:00:14.0/usb1/" + std::string(name)).c_str(),
                link.c_str());

    inc->handler = umockdev_ioctl_base_new();
    g_signal_connect(inc->handler, "handle-ioctl", G_CALLBACK(sHandleIoctl), inc.get());
    g_signal_connect(inc->handler, "client-vanished", G_CALLBACK(sClientVanished), inc.get());
    if (!umockdev_testbed_attach_ioctl(bus->testbed, inc->devnode.c_str(), inc->handler, &gerr)) {
        std::string message = gerr ? gerr->message : "unknown error";
        if (gerr) g_error_free(gerr);
        throw std::runtime_error("virtual USB: cannot attach the device handler: " + message);
    }
    // The node becomes a FIFO; see syncFifo.
    const std::string nodePath = bus->root + inc->devnode;
    unlink(nodePath.c_str());
    if (mkfifo(nodePath.c_str(), 0666) == 0) {
        inc->fifo = open(nodePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (inc->fifo < 0) throw std::runtime_error("virtual USB: cannot make the device node");
    std::lock_guard<std::mutex> hold(lock);
    syncFifo(inc.get());
    incarnations.push_back(std::move(inc));
}

void VirtualUsbDevice::State::endIncarnation() {
    Incarnation* inc = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        inc = current();
        if (!inc || !inc->alive) return;
        inc->alive = false;
        for (Urb& u : inc->pendingIn) {
            u.record()->status = -ENODEV;
            u.record()->actual_length = int(u.filled);
            inc->reapable.push_back(u);
        }
        inc->pendingIn.clear();
        for (const auto& c : inc->claims) g_object_unref(c.first);
        inc->claims.clear();
        // Blocked reaps take the URBs just ended; any left answer ENODEV.
        for (auto it = inc->reapable.begin(); it != inc->reapable.end();) {
            auto waiting =
                std::find(inc->blockedReaps.begin(), inc->blockedReaps.end(), it->client);
            if (waiting == inc->blockedReaps.end()) {
                ++it;
                continue;
            }
            UMockdevIoctlClient* client = *waiting;
            inc->blockedReaps.erase(waiting);
            const bool given = handOver(client, *it);
            umockdev_ioctl_client_complete(client, given ? 0 : -1, given ? 0 : EFAULT);
            g_object_unref(client);
            it->release();
            it = inc->reapable.erase(it);
        }
        endBlockedReaps(inc, nullptr, ENODEV);
        syncFifo(inc);
    }
    umockdev_testbed_uevent(bus->testbed, inc->sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(bus->testbed, inc->sysPath.c_str());
    unlink((bus->root + "/sys/bus/usb/devices/1-" + std::to_string(inc->devnum)).c_str());
}

VirtualUsbDevice::VirtualUsbDevice(VirtualUsbBus& bus, const UsbIdentity& identity)
    : state(std::make_unique<State>()) {
    state->bus = bus.impl.get();
    state->id = identity;
    state->startIncarnation(identity.productId);
}

VirtualUsbDevice::~VirtualUsbDevice() {
    // Stop the requests first (outside the lock, which a request being answered may hold), then
    // release what the incarnations hold.
    for (auto& inc : state->incarnations) {
        if (!inc->handler) continue;
        umockdev_testbed_detach_ioctl(state->bus->testbed, inc->devnode.c_str(), nullptr);
        g_signal_handlers_disconnect_by_data(inc->handler, inc.get());
    }
    std::lock_guard<std::mutex> hold(state->lock);
    for (auto& inc : state->incarnations) {
        for (auto* list : {&inc->reapable, &inc->pendingIn})
            for (Urb& u : *list) u.release();
        for (const auto& c : inc->claims) g_object_unref(c.first);
        for (UMockdevIoctlClient* client : inc->blockedReaps) g_object_unref(client);
        inc->reapable.clear();
        inc->pendingIn.clear();
        inc->claims.clear();
        inc->blockedReaps.clear();
        if (inc->fifo >= 0) close(inc->fifo);
        inc->fifo = -1;
        if (inc->handler) g_object_unref(inc->handler);
        inc->handler = nullptr;
    }
}

const UsbIdentity& VirtualUsbDevice::identity() const {
    return state->id;
}

void VirtualUsbDevice::send(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> hold(state->lock);
    const size_t mp = state->id.maxPacket;
    for (size_t i = 0; i < bytes.size(); i += mp)
        state->inPackets.emplace_back(bytes.begin() + long(i),
                                      bytes.begin() + long(std::min(bytes.size(), i + mp)));
    if (Incarnation* inc = state->current(); inc && inc->alive) state->pumpIn(inc);
}

void VirtualUsbDevice::onOut(std::function<void(const std::vector<uint8_t>&)> handler) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->outHandler = std::move(handler);
}

std::vector<uint8_t> VirtualUsbDevice::receive(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> hold(state->lock);
    state->outArrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                               [&] { return state->outKept.size() >= count; });
    const size_t n = std::min(count, state->outKept.size());
    std::vector<uint8_t> out(state->outKept.begin(), state->outKept.begin() + long(n));
    state->outKept.erase(state->outKept.begin(), state->outKept.begin() + long(n));
    return out;
}

std::vector<size_t> VirtualUsbDevice::outTransferSizes() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->outSizes;
}

void VirtualUsbDevice::failOutTransfers(int count, int error) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->failOut = count;
    state->failOutError = error;
}

void VirtualUsbDevice::failInTransfers(int count, int error) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->failIn = count;
    state->failInError = error;
}

void VirtualUsbDevice::failClearHalt(int error) {
    std::lock_guard<std::mutex> hold(state->lock);
    state->clearHaltError = error;
}

int VirtualUsbDevice::clearHaltCount() const {
    std::lock_guard<std::mutex> hold(state->lock);
    return state->clearHalts;
}

bool VirtualUsbDevice::claimed() const {
    std::lock_guard<std::mutex> hold(state->lock);
    // A claim of a client whose connection was lost is dropped here.
    return state->claimedLocked();
}

void VirtualUsbDevice::unplug() {
    state->endIncarnation();
}

void VirtualUsbDevice::plugIn(uint16_t productId) {
    state->endIncarnation();
    {
        std::lock_guard<std::mutex> hold(state->lock);
        state->inPackets.clear();
    }
    state->startIncarnation(productId);
}

bool VirtualUsbDevice::plugged() const {
    std::lock_guard<std::mutex> hold(state->lock);
    const Incarnation* inc =
        state->incarnations.empty() ? nullptr : state->incarnations.back().get();
    return inc && inc->alive;
}

VirtualUsbBus::VirtualUsbBus() : impl(std::make_unique<Impl>()) {
    impl->testbed = umockdev_testbed_new();
    if (!impl->testbed) throw std::runtime_error("virtual USB: cannot make the umockdev testbed");
    gchar* root = umockdev_testbed_get_root_dir(impl->testbed);
    impl->root = root;
    g_free(root);
}

VirtualUsbBus::~VirtualUsbBus() {
    impl->devices.clear();
    // Dropping the testbed removes its directory.
    g_object_unref(impl->testbed);
}

VirtualUsbDevice& VirtualUsbBus::plug(const UsbIdentity& identity) {
    std::unique_ptr<VirtualUsbDevice> device(new VirtualUsbDevice(*this, identity));
    std::lock_guard<std::mutex> hold(impl->lock);
    impl->devices.push_back(std::move(device));
    return *impl->devices.back();
}

std::string VirtualUsbBus::rootDir() const {
    return impl->root;
}

std::vector<std::string> VirtualUsbBus::environment() const {
    return {"UMOCKDEV_DIR=" + impl->root, "LD_PRELOAD=libumockdev-preload.so.0"};
}

bool VirtualUsbBus::inMockEnvironment() {
    const char* preload = getenv("LD_PRELOAD");
    return preload && strstr(preload, "libumockdev-preload");
}

}  // namespace vusb
