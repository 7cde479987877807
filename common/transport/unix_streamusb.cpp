// The USB stream over the hvusb driver layer.
#include <cstdio>
#include <new>

#include "transport/aStreamUSB.h"
#include "transport/hvusb_driver.h"

namespace {

constexpr uint16_t kUsbCheck = 0xDEAD;

struct UsbRef {
    uint32_t serial;
    hvusbDevice* device;
    uint16_t check;
};

bool sValid(const UsbRef* r) {
    return r && r->check == kUsbCheck && r->device;
}

aErr sUsbGet(uint8_t* byte, void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (!sValid(r)) return aErrParam;
    return hvusb_get_from_device(r->device, byte);
}

aErr sUsbPut(const uint8_t* byte, void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (!sValid(r)) return aErrParam;
    return hvusb_write_to_device(r->device, byte, 1);
}

aErr sUsbWrite(const uint8_t* bytes, size_t count, void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (!sValid(r)) return aErrParam;
    return hvusb_write_to_device(r->device, bytes, count);
}

aErr sUsbWait(uint32_t milliseconds, void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (!sValid(r)) return aErrParam;
    return hvusb_wait_readable(r->device, milliseconds);
}

void sUsbWake(void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (sValid(r)) hvusb_wake(r->device);
}

aErr sUsbDelete(void* ref) {
    UsbRef* r = static_cast<UsbRef*>(ref);
    if (!sValid(r)) return aErrParam;
    aErr err = hvusb_close_halvorine_device(r->device);
    hvusb_destroy(&r->device);
    r->check = 0;
    delete r;
    return err;
}

}  // namespace

aErr aStream_CreateUSB(uint32_t serial, aStream** stream) {
    const uint32_t mode =
        hvusb_is_kernel_driver_installed(serial) ? hvusbModeKernel : hvusbModeLibusb;
    if (!stream) return aErrParam;
    *stream = nullptr;
    if (serial == 0) return aErrParam;
    UsbRef* r = new (std::nothrow) UsbRef;
    if (!r) return aErrMemory;
    r->serial = serial;
    r->check = kUsbCheck;
    char text[16];
    snprintf(text, sizeof text, "%08X", serial);
    r->device = hvusb_create_usb(mode);
    if (!r->device) {
        delete r;
        return aErrResource;
    }
    aErr err = hvusb_open_halvorine_device(r->device, text);
    if (err != aErrNone) {
        hvusb_destroy(&r->device);
        delete r;
        return err;
    }
    aStream* s = aStream_Create(sUsbGet, sUsbPut, sUsbWrite, sUsbDelete, r);
    if (!s) {
        hvusb_close_halvorine_device(r->device);
        hvusb_destroy(&r->device);
        delete r;
        return aErrMemory;
    }
    aStream_SetWait(s, sUsbWait);
    aStream_SetWake(s, sUsbWake);
    *stream = s;
    return aErrNone;
}
