// unix_discovery: the enumeration entry point, the two finders, the USB enumeration over the
// process-wide libusb context, and the TCP/IP probe.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

#include "discovery/discover.h"
#include "engine/aDebug.h"
#include "transport/hvusb_driver.h"

namespace {

// The TCP/IP probe: one datagram to the modules' group, answers to the prober's port.
constexpr const char* kProbeGroup = "232.2.2.2";
constexpr uint16_t kProbePort = 9888;
constexpr uint16_t kAnswerPort = 9889;
constexpr size_t kProbeSize = 16;
constexpr size_t kAnswerSize = 16;
constexpr int kAnswerWaitMs = 2000;
constexpr size_t kAnswerModelAt = 12;
constexpr uint32_t kNoModel = 255;
// An answer must at least reach the serial number to describe a module.
constexpr size_t kAnswerMinimum = 8;

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
    return desc.idVendor == HALVORINE_VENDOR_ID && (desc.idProduct & 0x8000) == 0;
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
// TCP/IP probe

// The answer socket: bound to (address, answer port), 2 s receive time-out; -1 on failure.
int sTCPIPSetupListener(uint32_t address) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) return -1;
    const int on = 1;
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(kAnswerPort);
    timeval wait;
    wait.tv_sec = kAnswerWaitMs / 1000;
    wait.tv_usec = (kAnswerWaitMs % 1000) * 1000;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// Sends one probe out through the interface with that address (0: the default one).
bool sTCPIPMultiCast(uint32_t address) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (s < 0) return false;
    const int on = 1;
    in_addr iface;
    iface.s_addr = address;
    sockaddr_in group;
    memset(&group, 0, sizeof group);
    group.sin_family = AF_INET;
    group.sin_port = htons(kProbePort);
    inet_pton(AF_INET, kProbeGroup, &group.sin_addr);
    uint8_t probe[kProbeSize] = {1};
    bool sent =
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
        setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0 &&
        sendto(s, probe, sizeof probe, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&group),
               sizeof group) == static_cast<ssize_t>(sizeof probe);
    close(s);
    if (aDebug_On(aDEBUG_DISCOVERY)) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &iface, text, sizeof text);
        aDebug_Trace(aDEBUG_DISCOVERY, "discovery: probe through %s %s", text,
                     sent ? "sent" : "failed");
    }
    return sent;
}

// One probe through every IPv4 address of the host but 0 and 127.0.0.1; the number sent.
int sTCPIPProbeAll() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return sTCPIPMultiCast(INADDR_ANY) ? 1 : 0;
    int sent = 0;
    for (ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in address;
        memcpy(&address, entry->ifa_addr, sizeof address);
        const uint32_t a = address.sin_addr.s_addr;
        if (a == 0 || a == aDISCOVERY_LOOPBACK) continue;
        if (sTCPIPMultiCast(a)) ++sent;
    }
    freeifaddrs(list);
    return sent;
}

uint16_t sLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t sLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void sCopyToTCPIPLinkspec(linkSpec* spec, const uint8_t* answer, size_t length, uint32_t source) {
    spec->module = answer[1];
    spec->router = answer[1];
    spec->ip_port = sLE16(answer + 2);
    spec->serial_num = sLE32(answer + 4);
    spec->router_serial_num = spec->serial_num;
    spec->model = length > kAnswerModelAt ? answer[kAnswerModelAt] : kNoModel;
    spec->ip_address = source;
}

uint8_t sEnumerateTCPIP(discoveryCallback callback, void* ref, uint32_t networkInterface) {
    const uint32_t address = networkInterface == aDISCOVERY_LOOPBACK ? 0 : networkInterface;
    const int listener = sTCPIPSetupListener(address);
    const int probes = address ? (sTCPIPMultiCast(address) ? 1 : 0) : sTCPIPProbeAll();
    uint8_t count = 0;
    if (probes > 0 && listener >= 0) {
        bool going = true;
        while (going) {
            uint8_t answer[kAnswerSize] = {0};
            sockaddr_in from;
            socklen_t fromLength = sizeof from;
            const ssize_t got = recvfrom(listener, answer, sizeof answer, 0,
                                         reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) break;
            // Too short to carry a serial number: not an answer from a module.
            if (static_cast<size_t>(got) < kAnswerMinimum || from.sin_family != AF_INET) continue;
            linkSpec* spec = aLinkSpec_Create(TCPIP);
            if (!spec) break;
            sCopyToTCPIPLinkspec(spec, answer, static_cast<size_t>(got), from.sin_addr.s_addr);
            aDebug_Trace(aDEBUG_DISCOVERY, "discovery: TCP/IP module %08X port %u",
                         spec->serial_num, spec->ip_port);
            bool found = false;
            going = callback(spec, &found, ref);
            sTrackCount(&count, found);
            aLinkSpec_Destroy(&spec);
        }
    }
    if (listener >= 0) close(listener);
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
    if (type == TCPIP) return sEnumerateTCPIP(callback, ref, networkInterface);
    if (isANEXUS(type)) return aDiscovery_Enumerate_aNexusModules(callback, ref, networkInterface);
    return 0;
}

linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface) {
    return sFind(type, serialNumber, networkInterface, cbSNCallback);
}

linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface) {
    return sFind(type, 0, networkInterface, cbFirstCallback);
}
