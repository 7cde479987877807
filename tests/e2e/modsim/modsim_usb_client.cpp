// A small libusb client for the USB tests of hvmodsim, run under the virtual bus's preload
// library. Steps, done in order, each with a fresh libusb context:
//   info              prints "pid=%04x serial=%s interface=%02x/%02x/%02x in=%02x out=%02x"
//   xfer HEX N        writes the bytes to the bulk OUT endpoint, prints (hex) the first N bytes
//                     read from the bulk IN endpoint within 2 s
//   gone MS           waits up to MS ms for the device to leave the bus; prints "gone"
//   back MS           waits up to MS ms for it to come back; prints "back pid=%04x"
// Exit status 0 when every step succeeded, 1 otherwise (the failing step is printed).
#include <libusb.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

struct Found {
    uint16_t pid = 0;
    uint8_t cls = 0, sub = 0, proto = 0, in = 0, out = 0, iface = 0;
};

// Opens the device with this vendor id and serial string (a null handle when absent).
libusb_device_handle* find(libusb_context* ctx, uint16_t vid, const char* serial, Found& f) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < n && !found; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || d.idVendor != vid) continue;
        libusb_device_handle* h = nullptr;
        if (libusb_open(list[i], &h) != 0) continue;
        unsigned char s[64] = {};
        int len = libusb_get_string_descriptor_ascii(h, d.iSerialNumber, s, sizeof s);
        if (len <= 0 || std::strcmp(reinterpret_cast<char*>(s), serial) != 0) {
            libusb_close(h);
            continue;
        }
        f.pid = d.idProduct;
        libusb_config_descriptor* c = nullptr;
        if (libusb_get_config_descriptor(list[i], 0, &c) == 0) {
            for (int k = 0; k < c->bNumInterfaces; ++k) {
                const libusb_interface_descriptor& a = c->interface[k].altsetting[0];
                f.cls = a.bInterfaceClass;
                f.sub = a.bInterfaceSubClass;
                f.proto = a.bInterfaceProtocol;
                f.iface = a.bInterfaceNumber;
                for (int e = 0; e < a.bNumEndpoints; ++e) {
                    const libusb_endpoint_descriptor& ep = a.endpoint[e];
                    if ((ep.bmAttributes & 3) != LIBUSB_TRANSFER_TYPE_BULK) continue;
                    if (ep.bEndpointAddress & 0x80)
                        f.in = ep.bEndpointAddress;
                    else
                        f.out = ep.bEndpointAddress;
                }
            }
            libusb_free_config_descriptor(c);
        }
        found = h;
    }
    libusb_free_device_list(list, 1);
    return found;
}

std::vector<uint8_t> fromHex(const std::string& h) {
    std::vector<uint8_t> b;
    for (size_t i = 0; i + 1 < h.size(); i += 2)
        b.push_back(uint8_t(std::stoul(h.substr(i, 2), nullptr, 16)));
    return b;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    uint16_t vid = uint16_t(std::strtoul(argv[1], nullptr, 16));
    const char* serial = argv[2];
    for (int i = 3; i < argc; ++i) {
        std::string step = argv[i];
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) != 0) return 1;
        bool ok = false;
        Found f;
        if (step == "info") {
            libusb_device_handle* h = find(ctx, vid, serial, f);
            if (h) {
                std::printf("pid=%04x serial=%s interface=%02x/%02x/%02x in=%02x out=%02x\n", f.pid,
                            serial, f.cls, f.sub, f.proto, f.in, f.out);
                libusb_close(h);
                ok = true;
            }
        } else if (step == "xfer" && i + 2 < argc) {
            std::vector<uint8_t> req = fromHex(argv[++i]);
            size_t want = size_t(std::atoi(argv[++i]));
            libusb_device_handle* h = find(ctx, vid, serial, f);
            if (h && libusb_claim_interface(h, f.iface) == 0) {
                int n = 0;
                if (libusb_bulk_transfer(h, f.out, req.data(), int(req.size()), &n, 1000) == 0) {
                    std::vector<uint8_t> got;
                    uint64_t t0 = nowMs();
                    while (got.size() < want && nowMs() - t0 < 2000) {
                        unsigned char buf[1024];
                        int r = 0;
                        int rc = libusb_bulk_transfer(h, f.in, buf, sizeof buf, &r, 200);
                        if (rc != 0 && rc != LIBUSB_ERROR_TIMEOUT) break;
                        got.insert(got.end(), buf, buf + r);
                    }
                    for (uint8_t b : got) std::printf("%02X", b);
                    std::printf("\n");
                    ok = true;
                }
                libusb_release_interface(h, f.iface);
            }
            if (h) libusb_close(h);
        } else if ((step == "gone" || step == "back") && i + 1 < argc) {
            uint64_t limit = uint64_t(std::atoi(argv[++i]));
            uint64_t t0 = nowMs();
            while (nowMs() - t0 < limit) {
                libusb_context* c2 = nullptr;
                libusb_init(&c2);
                libusb_device_handle* h = find(c2, vid, serial, f);
                if (h) libusb_close(h);
                libusb_exit(c2);
                if ((h != nullptr) == (step == "back")) {
                    ok = true;
                    break;
                }
                usleep(20000);
            }
            if (ok && step == "gone") std::printf("gone\n");
            if (ok && step == "back") std::printf("back pid=%04x\n", f.pid);
        }
        libusb_exit(ctx);
        if (!ok) {
            std::printf("failed: %s\n", step.c_str());
            return 1;
        }
    }
    return 0;
}
