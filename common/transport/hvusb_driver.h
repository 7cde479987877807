// hvusb: the driver layer under the USB stream, and the process-wide libusb context.
//
// A module attached by USB is reached through one of two back ends, chosen when the device record
// is made: the maker's kernel driver, when it has created the node "/dev/halvorine.%08X" for the
// module (read and written like a file), or libusb (bulk transfers on the module's vendor
// interface, class 0xFF, subclass 0x88, protocol 0x10).
//
// Ownership: the creator owns an hvusbDevice and releases it with hvusb_destroy. Threads: one
// thread may read (hvusb_get_from_device; it alone touches the receive buffer) while another
// writes; the state and error count they share are atomic. Open, close and destroy belong to the
// owner while neither transfers. The libusb context functions may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "api/aError.h"
#include "api/aProtocol.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;
struct hvusbInRead;

// The maker's USB vendor id is HALVORINE_VENDOR_ID (api/aProtocol.h); the product ids of its
// modules have the top bit clear.
constexpr uint16_t HALVORINE_PRODUCT_ID_LIMIT = 0x8000;

// The module's vendor interface.
constexpr uint8_t HALVORINE_USB_CLASS = aPROTO_USB_CLASS;
constexpr uint8_t HALVORINE_USB_SUBCLASS = aPROTO_USB_SUBCLASS;
constexpr uint8_t HALVORINE_USB_PROTOCOL = aPROTO_USB_PROTOCOL;

enum hvusbMode : uint32_t { hvusbModeKernel = 0, hvusbModeLibusb = 1 };

enum hvusbState : uint32_t {
    hvusbStateCreated = 1,  // record made, nothing open (the kernel back end stays here)
    hvusbStateClosed = 2,   // closed, or an open failed
    hvusbStateOpened = 3,   // handle open, interface not yet claimed
    hvusbStateReady = 4,    // interface claimed, transfers allowed
    hvusbStateFailed = 5,   // the fifth consecutive I/O error
};

constexpr size_t hvusbSERIALTEXT = 256;
constexpr size_t hvusbRECEIVEBUFFER = 1024;

struct hvusbDevice {
    uint32_t mode;
    char serial[hvusbSERIALTEXT];
    int fd;  // kernel node, -1 when closed
    libusb_device_handle* handle;
    std::atomic<uint32_t> state;
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t receive[hvusbRECEIVEBUFFER];
    int buffered;
    uint8_t* readPointer;
    std::atomic<uint8_t> errorCount;
    uint16_t inMaxPacket;
    uint16_t outMaxPacket;
    // The libusb back end's IN transfer: submitted by a get and waited for there; a get that is
    // woken (hvusb_wake) returns while it stays in flight, and the next get waits on. Reader
    // thread only, and close/destroy once the reader has stopped.
    libusb_transfer* inTransfer;
    hvusbInRead* inRead;
    bool inFlight;
    std::atomic<bool> wakeRequested;
};

// True when the node "<node directory>/halvorine.%08X" exists and is not a directory.
bool hvusb_is_kernel_driver_installed(uint32_t serial);

// A new record in the given mode, state created; null when memory is short or, in libusb mode,
// the libusb context cannot be made.
hvusbDevice* hvusb_create_usb(uint32_t mode);

aErr hvusb_open_halvorine_device(hvusbDevice* device, const char* serial);
aErr hvusb_write_to_device(hvusbDevice* device, const uint8_t* bytes, size_t count);
// One byte; the libusb back end waits up to 1000 ms for an IN transfer when its buffer is empty
// (aErrNotReady when none came). I/O errors of the libusb back end are tolerated four times in a
// row, counted over reads and writes together: a tolerated read error answers aErrNotReady (no
// byte was read), a tolerated write error aErrNone; the fifth fails the device, which then answers
// aErrIO to every read and write until it is reopened.
aErr hvusb_get_from_device(hvusbDevice* device, uint8_t* byte);
// For the receive loop: waits at most `milliseconds` until a get may find a byte (aErrNone) or
// answers aErrTimeout. The libusb back end answers aErrNone at once: its get already waits.
aErr hvusb_wait_readable(hvusbDevice* device, uint32_t milliseconds);
// Makes a libusb-back-end get that waits for its IN transfer return aErrNotReady soon (a link
// that starts a sync or stops need not wait out the 1000 ms); the transfer stays in flight and
// nothing it brings is lost. No effect on the kernel back end, whose reads do not wait. Any
// thread, while the device is open.
void hvusb_wake(hvusbDevice* device);
aErr hvusb_close_halvorine_device(hvusbDevice* device);
aErr hvusb_destroy(hvusbDevice** device);

// The back ends, reachable directly; each answers aErrMode for a device of the other mode.
aErr hvusb_open_halvorine_USBlib_device(hvusbDevice* device, const char* serial);
aErr hvusb_write_to_USBlib_device(hvusbDevice* device, const uint8_t* bytes, size_t count);
aErr hvusb_get_from_USBlib_device(hvusbDevice* device, uint8_t* byte);
aErr hvusb_close_halvorine_USBlib_device(hvusbDevice* device);
aErr hvusb_open_halvorine_kernel_device(hvusbDevice* device, const char* serial);
aErr hvusb_write_to_kernel_device(hvusbDevice* device, const uint8_t* bytes, size_t count);
aErr hvusb_get_from_kernel_device(hvusbDevice* device, uint8_t* byte);
aErr hvusb_close_halvorine_kernel_device(hvusbDevice* device);

// The process's libusb context, made with libusb_init on first use (null if that fails).
libusb_context* Halvorine_libusb_context();
// Makes the context ready; aErrNone, or aErrInitialization when libusb_init fails.
aErr Halvorine_libusb_init();
// Ends the context (libusb_exit) and forgets it; the next use makes a fresh one. No device of the
// process may be open at the time.
void Halvorine_libusb_exit();
