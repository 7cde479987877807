// unix_discovery: the enumeration entry point, the two finders and the USB enumeration over the
// process-wide libusb context.
#include <libusb.h>

#include "discovery/discover.h"
#include "discovery/tcpipProbe.h"
#include "engine/aDebug.h"
#include "transport/hvusb_driver.h"

namespace {

constexpr size_t kSerialTextSize = 32;
constexpr int kSerialDigits = 8;

void sTrackCount(uint8_t* count, bool found) {
    if (found) *count = static_cast<uint8_t>(*count + 1);
}

// ---------------------------------------------------------------------------------------------
// USB

bool is_halvorine_device(libusb_device* device) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(device, &desc) != LIBUSB_SUCCESS) return false;
    return desc.idVendor == HALVORINE_VENDOR_ID && desc.idProduct < HALVORINE_PRODUCT_ID_LIMIT;
}

// The leading hexadecimal digits of the serial text (the maker's modules use eight).
uint32_t sParseSerial(const unsigned char* text, int length) {
    uint32_t value = 0;
    for (int i = 0; i < length; ++i) {
        const unsigned char c = text[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else
            break;
        value = (value << 4) | digit;
    }
    return value;
}

void sCopyToUSBLinkspec(linkSpec* spec, uint32_t serial, uint16_t productId) {
    spec->serial_num = serial;
    spec->module = 0;
    spec->router = 0;
    spec->router_serial_num = 0;
    spec->model = productId & 0xFF;
    spec->usb_id = serial;
}

uint8_t sEnumerateUSB(linkType type, discoveryCallback callback, void* ref) {
    libusb_context* context = Halvorine_libusb_context();
    if (!context) return 0;
    libusb_device** devices = nullptr;
    const ssize_t listed = libusb_get_device_list(context, &devices);
    if (listed < 0) return 0;

    uint8_t count = 0;
    bool going = true;
    for (ssize_t i = 0; i < listed && going; ++i) {
        libusb_device* device = devices[i];
        if (!is_halvorine_device(device)) continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(device, &handle) != LIBUSB_SUCCESS) continue;
        libusb_device_descriptor desc;
        unsigned char text[kSerialTextSize] = {0};
        int length = -1;
        if (libusb_get_device_descriptor(device, &desc) == LIBUSB_SUCCESS && desc.iSerialNumber)
            length =
                libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, sizeof text);
        if (length == kSerialDigits) {
            linkSpec* spec = aLinkSpec_Create(type);
            if (spec) {
                sCopyToUSBLinkspec(spec, sParseSerial(text, length), desc.idProduct);
                aDebug_Trace(aDEBUG_USB, "discovery: USB module %08X model %u", spec->serial_num,
                             spec->model);
                bool found = false;
                going = callback(spec, &found, ref);
                sTrackCount(&count, found);
                aLinkSpec_Destroy(&spec);
            }
        }
        libusb_close(handle);
    }
    libusb_free_device_list(devices, 1);
    return count;
}

// ---------------------------------------------------------------------------------------------
// Finders

bool cbSNCallback(const linkSpec* spec, bool* found, void* ref) {
    linkSpec* wanted = static_cast<linkSpec*>(ref);
    if (spec->serial_num != wanted->serial_num) return true;
    *wanted = *spec;
    *found = true;
    return false;
}

bool cbFirstCallback(const linkSpec* spec, bool* found, void* ref) {
    if (spec->serial_num == 0) return true;
    *static_cast<linkSpec*>(ref) = *spec;
    *found = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, uint32_t networkInterface,
                discoveryCallback callback) {
    linkSpec* spec = aLinkSpec_Create(type);
    if (!spec) return nullptr;
    spec->serial_num = serialNumber;
    spec->module = 0;
    spec->router = 0;
    if (aDiscovery_EnumerateModules(type, callback, spec, networkInterface) == 0)
        aLinkSpec_Destroy(&spec);
    return spec;
}

}  // namespace

uint8_t aDiscovery_EnumerateModules(linkType type, discoveryCallback callback, void* ref,
                                    uint32_t networkInterface) {
    if (!callback) return 0;
    if (type == USB) return sEnumerateUSB(type, callback, ref);
    if (type == TCPIP) return aDiscovery_ProbeTCPIPModules(callback, ref, networkInterface);
    if (isANEXUS(type)) return aDiscovery_Enumerate_aNexusModules(callback, ref, networkInterface);
    return 0;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, networkInterface, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, networkInterface, cbFirstCallback);
}
