// hvusb: kernel-driver and libusb back ends for the USB stream, and the shared libusb context.
#include "transport/hvusb_driver.h"

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>

#include "engine/aDebug.h"
#include "transport/hvusb_testing.h"

namespace {

constexpr unsigned kReadTimeoutMs = 1000;
// A get waits for its IN transfer in event-handling slices of this length, checking for a wake
// between them; libusb ends the transfer itself after kReadTimeoutMs.
constexpr long kReadSliceUs = 100000;
// How long a get waits at most even if libusb failed to end the transfer on time, and how long
// closing waits for a cancelled transfer to come back.
constexpr unsigned kReadGuardMs = kReadTimeoutMs + 500;
constexpr unsigned kCancelWaitMs = 2000;
constexpr useconds_t kFailedEventsPauseUs = 10000;
constexpr unsigned kWriteTimeoutMs = 50;
constexpr int kWriteFailures = 10;
constexpr uint8_t kTolerated = 4;
constexpr int kKernelWriteCalls = 1000;
constexpr int kKernelWritePollMs = 50;

std::mutex gContextLock;
libusb_context* gContext = nullptr;

std::mutex gNodeDirectoryLock;
std::string gNodeDirectory = "/dev";

std::string sNodePath(const char* serialText) {
    std::lock_guard<std::mutex> hold(gNodeDirectoryLock);
    return gNodeDirectory + "/halvorine." + serialText;
}

libusb_context* sContextLocked() {
    if (!gContext && libusb_init(&gContext) != LIBUSB_SUCCESS) gContext = nullptr;
    return gContext;
}

// Four consecutive I/O errors pass, the fifth fails the device; anything else resets the count.
// A tolerated read failure answers aErrNotReady (nothing was read, so the caller reads again); a
// tolerated write failure answers aErrNone.
aErr _handleErrorTolerance(hvusbDevice* d, aErr err, aErr tolerated) {
    if (err != aErrIO) {
        d->errorCount = 0;
        return err;
    }
    const uint8_t before = d->errorCount.load();
    if (before < UINT8_MAX) d->errorCount = static_cast<uint8_t>(before + 1);
    if (before < kTolerated) return tolerated;
    d->state = hvusbStateFailed;
    return aErrIO;
}

bool is_halvorine_device(libusb_device* device) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) return false;
    return desc.idVendor == HALVORINE_VENDOR_ID && desc.idProduct < HALVORINE_PRODUCT_ID_LIMIT;
}

bool find_usb_endpoints(hvusbDevice* d) {
    libusb_device* device = libusb_get_device(d->handle);
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) return false;
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS || !config) return false;
    bool haveIn = false, haveOut = false;
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != HALVORINE_USB_CLASS ||
                alt.bInterfaceSubClass != HALVORINE_USB_SUBCLASS ||
                alt.bInterfaceProtocol != HALVORINE_USB_PROTOCOL)
                continue;
            d->interfaceNumber = alt.bInterfaceNumber;
            for (uint8_t e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if (!(ep.bmAttributes & 0x02)) continue;  // bulk or interrupt
                const int size = libusb_get_max_packet_size(device, ep.bEndpointAddress);
                const uint16_t maxPacket = size > 0 ? static_cast<uint16_t>(size) : 0;
                if (ep.bEndpointAddress & 0x80) {
                    d->inEndpoint = ep.bEndpointAddress;
                    d->inMaxPacket = maxPacket;
                    haveIn = true;
                } else {
                    d->outEndpoint = ep.bEndpointAddress;
                    d->outMaxPacket = maxPacket;
                    haveOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    // A zero packet size would make the write loop send nothing for ever.
    return haveIn && haveOut && d->outMaxPacket > 0;
}

aErr sClaimError(int rc) {
    switch (rc) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE:
            return aErrBusy;
        case LIBUSB_ERROR_ACCESS:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

aErr sStateError(uint32_t state) {
    switch (state) {
        case hvusbStateClosed:
            return aErrConnection;
        case hvusbStateCreated:
        case hvusbStateOpened:
            return aErrNotReady;
        default:
            return aErrIO;
    }
}

}  // namespace

// What an IN transfer fills, apart from the device record: should a cancelled transfer never come
// back, it is left behind (with its transfer) rather than freed under libusb.
struct hvusbInRead {
    int done;  // set by the completion callback; libusb's "completed" flag
    uint8_t buffer[hvusbRECEIVEBUFFER];
};

namespace {

void LIBUSB_CALL sInReadDone(libusb_transfer* transfer) {
    __atomic_store_n(&static_cast<hvusbInRead*>(transfer->user_data)->done, 1, __ATOMIC_RELEASE);
}

bool sInReadFinished(const hvusbInRead* read) {
    return __atomic_load_n(&read->done, __ATOMIC_ACQUIRE) != 0;
}

uint64_t sNowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

// Runs libusb's event handling until the IN transfer has completed, for at most `limitMs`, or
// (when `wakeable`) until a wake is asked for. True when it completed.
bool sAwaitInRead(hvusbDevice* d, uint64_t limitMs, bool wakeable) {
    libusb_context* context = Halvorine_libusb_context();
    const uint64_t end = sNowMs() + limitMs;
    while (!sInReadFinished(d->inRead)) {
        if (wakeable && d->wakeRequested.exchange(false)) return false;
        if (!context || sNowMs() >= end) return false;
        timeval slice{0, kReadSliceUs};
        const int rc = libusb_handle_events_timeout_completed(context, &slice, &d->inRead->done);
        // Event handling that fails at once (it should not) must not turn this into a busy loop.
        if (rc != LIBUSB_SUCCESS && rc != LIBUSB_ERROR_INTERRUPTED && rc != LIBUSB_ERROR_TIMEOUT)
            usleep(kFailedEventsPauseUs);
    }
    return true;
}

// Cancels an IN transfer still in flight and waits for it to come back; then frees it. One that
// never comes back is left to libusb.
void sEndInRead(hvusbDevice* d) {
    if (!d->inTransfer) return;
    if (d->inFlight) libusb_cancel_transfer(d->inTransfer);
    if (!d->inFlight || sAwaitInRead(d, kCancelWaitMs, false)) {
        libusb_free_transfer(d->inTransfer);
        delete d->inRead;
    } else {
        aDebug_Trace(aDEBUG_USB, "hvusb: %s: a cancelled IN transfer did not come back", d->serial);
    }
    d->inTransfer = nullptr;
    d->inRead = nullptr;
    d->inFlight = false;
}

}  // namespace

void hvusb_set_node_directory(const char* directory) {
    std::lock_guard<std::mutex> hold(gNodeDirectoryLock);
    gNodeDirectory = directory && directory[0] ? directory : "/dev";
}

libusb_context* Halvorine_libusb_context() {
    std::lock_guard<std::mutex> hold(gContextLock);
    return sContextLocked();
}

aErr Halvorine_libusb_init() {
    std::lock_guard<std::mutex> hold(gContextLock);
    return sContextLocked() ? aErrNone : aErrInitialization;
}

void Halvorine_libusb_exit() {
    std::lock_guard<std::mutex> hold(gContextLock);
    if (gContext) libusb_exit(gContext);
    gContext = nullptr;
}

bool hvusb_is_kernel_driver_installed(uint32_t serial) {
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    struct stat st;
    if (stat(sNodePath(text).c_str(), &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

hvusbDevice* hvusb_create_usb(uint32_t mode) {
    if (mode == hvusbModeLibusb && !Halvorine_libusb_context()) return nullptr;
    hvusbDevice* d = new (std::nothrow) hvusbDevice;
    if (!d) return nullptr;
    d->mode = mode;
    memset(d->serial, 0, sizeof d->serial);
    d->fd = -1;
    d->handle = nullptr;
    d->state = hvusbStateCreated;
    d->interfaceNumber = 0;
    d->outEndpoint = 0;
    d->inEndpoint = 0;
    memset(d->receive, 0, sizeof d->receive);
    d->buffered = 0;
    d->readPointer = d->receive;
    d->errorCount = 0;
    d->inMaxPacket = 0;
    d->outMaxPacket = 0;
    d->inTransfer = nullptr;
    d->inRead = nullptr;
    d->inFlight = false;
    d->wakeRequested = false;
    return d;
}

aErr hvusb_open_halvorine_device(hvusbDevice* device, const char* serial) {
    if (!device || !serial) return aErrParam;
    return device->mode == hvusbModeLibusb ? hvusb_open_halvorine_USBlib_device(device, serial)
                                           : hvusb_open_halvorine_kernel_device(device, serial);
}

aErr hvusb_write_to_device(hvusbDevice* device, const uint8_t* bytes, size_t count) {
    if (!device || !bytes) return aErrParam;
    return device->mode == hvusbModeLibusb ? hvusb_write_to_USBlib_device(device, bytes, count)
                                           : hvusb_write_to_kernel_device(device, bytes, count);
}

aErr hvusb_get_from_device(hvusbDevice* device, uint8_t* byte) {
    if (!device || !byte) return aErrParam;
    return device->mode == hvusbModeLibusb ? hvusb_get_from_USBlib_device(device, byte)
                                           : hvusb_get_from_kernel_device(device, byte);
}

aErr hvusb_wait_readable(hvusbDevice* device, uint32_t milliseconds) {
    if (!device) return aErrParam;
    if (device->mode == hvusbModeLibusb) return aErrNone;
    if (device->fd < 0) return aErrMode;
    pollfd p{device->fd, POLLIN, 0};
    int n = poll(&p, 1, milliseconds > INT32_MAX ? -1 : static_cast<int>(milliseconds));
    if (n > 0) return aErrNone;
    if (n == 0) return aErrTimeout;
    return errno == EINTR ? aErrNone : aErrIO;
}

void hvusb_wake(hvusbDevice* device) {
    if (!device || device->mode != hvusbModeLibusb) return;
    device->wakeRequested = true;
    if (libusb_context* context = Halvorine_libusb_context())
        libusb_interrupt_event_handler(context);
}

aErr hvusb_close_halvorine_device(hvusbDevice* device) {
    if (!device) return aErrParam;
    return device->mode == hvusbModeLibusb ? hvusb_close_halvorine_USBlib_device(device)
                                           : hvusb_close_halvorine_kernel_device(device);
}

aErr hvusb_destroy(hvusbDevice** device) {
    if (!device || !*device) return aErrParam;
    hvusbDevice* d = *device;
    sEndInRead(d);
    if (d->handle) {
        libusb_release_interface(d->handle, d->interfaceNumber);
        libusb_close(d->handle);
        d->handle = nullptr;
    }
    if (d->fd >= 0) close(d->fd);
    delete d;
    *device = nullptr;
    return aErrNone;
}

// ---- libusb back end

aErr hvusb_open_halvorine_USBlib_device(hvusbDevice* d, const char* serial) {
    if (!d || d->mode != hvusbModeLibusb) return aErrMode;
    if (!serial) return aErrParam;
    libusb_context* context = Halvorine_libusb_context();
    if (!context) return aErrInitialization;
    libusb_device** list = nullptr;
    const ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) return aErrNotFound;
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count; ++i) {
        libusb_device* device = list[i];
        if (!is_halvorine_device(device)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS) continue;
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) {
            libusb_close(handle);
            continue;
        }
        unsigned char text[hvusbSERIALTEXT] = {0};
        const int n = desc.iSerialNumber ? libusb_get_string_descriptor_ascii(
                                               handle, desc.iSerialNumber, text, sizeof text - 1)
                                         : -1;
        if (n < 0 || strcmp(reinterpret_cast<const char*>(text), serial) != 0) {
            libusb_close(handle);
            continue;
        }
        snprintf(d->serial, sizeof d->serial, "%s", serial);
        d->handle = handle;
        d->state = hvusbStateOpened;
        if (!find_usb_endpoints(d)) {
            result = aErrConfiguration;
        } else {
            const int rc = libusb_claim_interface(handle, d->interfaceNumber);
            result = rc == LIBUSB_SUCCESS ? aErrNone : sClaimError(rc);
        }
        if (result == aErrNone) {
            d->buffered = 0;
            d->readPointer = d->receive;
            d->errorCount = 0;
            d->state = hvusbStateReady;
        } else {
            libusb_close(handle);
            d->handle = nullptr;
            d->state = hvusbStateClosed;
        }
        break;
    }
    libusb_free_device_list(list, 1);
    aDebug_Trace(aDEBUG_USB, "hvusb: open %s: %u", serial, result);
    return result;
}

aErr hvusb_get_from_USBlib_device(hvusbDevice* d, uint8_t* byte) {
    if (!d || d->mode != hvusbModeLibusb) return aErrMode;
    if (!byte) return aErrParam;
    if (d->buffered > 0) {
        *byte = *d->readPointer++;
        --d->buffered;
        return aErrNone;
    }
    const uint32_t state = d->state;
    if (state != hvusbStateReady) return sStateError(state);
    // One bulk IN transfer of up to the buffer's size that libusb ends after kReadTimeoutMs, as a
    // synchronous transfer would be; it is submitted asynchronously only so that a wake can end
    // the wait early (the transfer then stays in flight for the next get).
    if (!d->inFlight) {
        if (!d->inTransfer) {
            d->inTransfer = libusb_alloc_transfer(0);
            d->inRead = new (std::nothrow) hvusbInRead;
            if (!d->inTransfer || !d->inRead) {
                if (d->inTransfer) libusb_free_transfer(d->inTransfer);
                delete d->inRead;
                d->inTransfer = nullptr;
                d->inRead = nullptr;
                return aErrMemory;
            }
        }
        d->inRead->done = 0;
        libusb_fill_bulk_transfer(d->inTransfer, d->handle, d->inEndpoint, d->inRead->buffer,
                                  int(sizeof d->inRead->buffer), sInReadDone, d->inRead,
                                  kReadTimeoutMs);
        const int rc = libusb_submit_transfer(d->inTransfer);
        if (rc != LIBUSB_SUCCESS) {
            aErr err = aErrIO;
            if (rc == LIBUSB_ERROR_PIPE) {
                libusb_clear_halt(d->handle, d->inEndpoint);
                err = aErrNotReady;
            }
            return _handleErrorTolerance(d, err, aErrNotReady);
        }
        d->inFlight = true;
    }
    if (!sAwaitInRead(d, kReadGuardMs, true)) {
        // Woken, or libusb did not end the transfer in time: nothing read yet, the transfer stays.
        return aErrNotReady;
    }
    d->inFlight = false;
    const libusb_transfer* t = d->inTransfer;
    const int transferred = t->actual_length;
    const bool ended =
        t->status == LIBUSB_TRANSFER_COMPLETED || t->status == LIBUSB_TRANSFER_TIMED_OUT;
    aErr err;
    if (ended && transferred > 0) {
        memcpy(d->receive, d->inRead->buffer, size_t(transferred));
        d->buffered = transferred - 1;
        d->readPointer = d->receive + 1;
        *byte = d->receive[0];
        err = aErrNone;
    } else if (ended) {
        err = aErrNotReady;  // a time-out, or an empty packet
    } else if (t->status == LIBUSB_TRANSFER_STALL) {
        libusb_clear_halt(d->handle, d->inEndpoint);
        err = aErrNotReady;
    } else {
        err = aErrIO;
    }
    return _handleErrorTolerance(d, err, aErrNotReady);
}

aErr hvusb_write_to_USBlib_device(hvusbDevice* d, const uint8_t* bytes, size_t count) {
    if (!d || d->mode != hvusbModeLibusb) return aErrMode;
    if (!bytes) return aErrParam;
    const uint32_t state = d->state;
    if (state != hvusbStateReady) return sStateError(state);
    size_t done = 0;
    int failures = 0;
    aErr err = aErrNone;
    while (done < count && failures < kWriteFailures) {
        size_t chunk = count - done;
        if (chunk > d->outMaxPacket) chunk = d->outMaxPacket;
        if (chunk == 512) chunk = 511;
        int transferred = 0;
        const int rc =
            libusb_bulk_transfer(d->handle, d->outEndpoint, const_cast<uint8_t*>(bytes + done),
                                 static_cast<int>(chunk), &transferred, kWriteTimeoutMs);
        // Bytes that left before a failure are not sent again: the module would see them twice.
        if (transferred > 0) done += static_cast<size_t>(transferred);
        if (rc == LIBUSB_SUCCESS) continue;
        ++failures;
        if (rc == LIBUSB_ERROR_PIPE &&
            libusb_clear_halt(d->handle, d->outEndpoint) != LIBUSB_SUCCESS)
            err = aErrIO;
    }
    if (err == aErrNone && done < count) err = aErrWrite;
    return _handleErrorTolerance(d, err, aErrNone);
}

aErr hvusb_close_halvorine_USBlib_device(hvusbDevice* d) {
    if (!d || d->mode != hvusbModeLibusb || !d->handle) return aErrMode;
    sEndInRead(d);
    libusb_release_interface(d->handle, d->interfaceNumber);
    libusb_close(d->handle);
    d->handle = nullptr;
    d->interfaceNumber = 0;
    d->outEndpoint = 0;
    d->inEndpoint = 0;
    d->state = hvusbStateClosed;
    return aErrNone;
}

// ---- kernel-driver back end

aErr hvusb_open_halvorine_kernel_device(hvusbDevice* d, const char* serial) {
    if (!d || d->mode != hvusbModeKernel) return aErrMode;
    if (!serial) return aErrParam;
    snprintf(d->serial, sizeof d->serial, "%s", serial);
    // Non-blocking, so that a read with nothing waiting returns at once whatever the node is.
    const int fd = open(sNodePath(d->serial).c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? aErrBusy : aErrIO;
    d->fd = fd;
    return aErrNone;
}

aErr hvusb_get_from_kernel_device(hvusbDevice* d, uint8_t* byte) {
    if (!d || d->mode != hvusbModeKernel || d->fd < 0) return aErrMode;
    if (!byte) return aErrParam;
    const ssize_t n = read(d->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    if (errno == EFAULT || errno == EAGAIN || errno == EINTR) return aErrNotReady;
    return aErrIO;
}

aErr hvusb_write_to_kernel_device(hvusbDevice* d, const uint8_t* bytes, size_t count) {
    if (!d || d->mode != hvusbModeKernel || d->fd < 0) return aErrMode;
    if (!bytes) return aErrParam;
    size_t done = 0;
    for (int call = 0; call < kKernelWriteCalls && done < count; ++call) {
        const ssize_t n = write(d->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{d->fd, POLLOUT, 0};
            poll(&p, 1, kKernelWritePollMs);
        } else if (n < 0) {
            return aErrIO;
        }
    }
    return done < count ? aErrIO : aErrNone;
}

aErr hvusb_close_halvorine_kernel_device(hvusbDevice* d) {
    if (!d || d->mode != hvusbModeKernel) return aErrMode;
    if (d->fd < 0) return aErrNone;
    const int fd = d->fd;
    d->fd = -1;
    if (close(fd) != 0) return aErrCancel;
    d->state = hvusbStateClosed;
    return aErrNone;
}
