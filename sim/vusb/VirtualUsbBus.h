// VirtualUsbBus: virtual USB devices that unmodified libusb code enumerates and talks to.
//
// The bus is a umockdev testbed: each device is declared in the testbed's sysfs (with its device
// and configuration descriptors) and gets a device node whose usbdevfs requests (claims, control
// transfers for string descriptors, bulk OUT and IN URBs, reaping, discarding, clearing halts) are
// answered here. The program that uses libusb must run with LD_PRELOAD=libumockdev-preload.so.0
// and UMOCKDEV_DIR set to the bus's root (see environment()); it may be this very process (a test
// that makes the bus and is itself started under the preload library) or a child process.
//
// Ownership: the bus owns its devices; a VirtualUsbDevice reference stays valid until the bus is
// destroyed, across unplug and plugIn. Threads: requests are answered on umockdev's worker thread;
// every public function may be called from any thread (device state is under a mutex), and the
// callbacks given to onOut run on the worker thread and must not block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vusb {

struct UsbIdentity {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serial;  // the serial-number string descriptor
    std::string manufacturer = "Virtual";
    std::string product = "Virtual device";
    uint16_t maxPacket = 512;  // of both bulk endpoints; 512 is a high-speed device
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
};

class VirtualUsbBus;

// One device on the bus. Host → device bytes arrive by bulk OUT transfers on endpoint 0x01;
// device → host bytes leave by bulk IN transfers on endpoint 0x81.
class VirtualUsbDevice {
  public:
    ~VirtualUsbDevice();
    VirtualUsbDevice(const VirtualUsbDevice&) = delete;
    VirtualUsbDevice& operator=(const VirtualUsbDevice&) = delete;

    const UsbIdentity& identity() const;

    // Bytes for the host. They travel in packets of the endpoint's size; an IN transfer ends with
    // a short packet or a full buffer, so a run that is a whole number of packets stays in a
    // pending transfer until more bytes come or the host gives up (its time-out then returns the
    // bytes so far).
    void send(const std::vector<uint8_t>& bytes);

    // Called with the bytes of each OUT transfer (on the worker thread, must not block). Without
    // a handler the bytes are kept for receive().
    void onOut(std::function<void(const std::vector<uint8_t>&)> handler);
    // Waits up to `timeoutMs` until `count` bytes written by the host are kept; takes and returns
    // what is there then.
    std::vector<uint8_t> receive(size_t count, int timeoutMs);
    // The length of every OUT transfer so far, in order.
    std::vector<size_t> outTransferSizes() const;

    // Faults: the next `count` OUT (or IN) transfers end with the status -`error` (EPIPE is a
    // stall, EPROTO an I/O error). Clearing a halt fails with -`error` while set (0 clears).
    void failOutTransfers(int count, int error);
    void failInTransfers(int count, int error);
    void failClearHalt(int error);
    // Number of CLEAR_HALT requests answered.
    int clearHaltCount() const;
    // True while some client has claimed the interface. A client that closes its node without
    // releasing loses its claim once umockdev has seen the close (a few milliseconds later).
    bool claimed() const;

    // Unplugging ends pending transfers with -ENODEV and answers every later request with ENODEV;
    // the device leaves the testbed. plugIn adds it back with a new device number and the given
    // product id, as a module restarting into its loader re-enumerates.
    void unplug();
    void plugIn(uint16_t productId);
    bool plugged() const;

    struct State;  // the bus's own

  private:
    friend class VirtualUsbBus;
    explicit VirtualUsbDevice(VirtualUsbBus& bus, const UsbIdentity& identity);
    std::unique_ptr<State> state;
};

class VirtualUsbBus {
  public:
    // Makes the testbed; throws std::runtime_error when umockdev cannot.
    VirtualUsbBus();
    ~VirtualUsbBus();
    VirtualUsbBus(const VirtualUsbBus&) = delete;
    VirtualUsbBus& operator=(const VirtualUsbBus&) = delete;

    // Adds a device to the bus (bus 1, the next device number).
    VirtualUsbDevice& plug(const UsbIdentity& identity);

    // The testbed's root, and the environment a program needs to see the bus:
    // "UMOCKDEV_DIR=<root>" and "LD_PRELOAD=libumockdev-preload.so.0".
    std::string rootDir() const;
    std::vector<std::string> environment() const;

    // True when this process runs under the preload library, so that its own libusb calls reach
    // the bus.
    static bool inMockEnvironment();

    struct Impl;

  private:
    friend class VirtualUsbDevice;
    std::unique_ptr<Impl> impl;
};

}  // namespace vusb
