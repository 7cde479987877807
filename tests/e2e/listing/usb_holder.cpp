// usb_holder VID SERIAL: stands for another program that has a module open. Opens the USB device
// with that vendor id (hex) and serial-number string, claims its interface 0, prints "held" and
// keeps the claim until standard input closes (at most 120 s), then releases it.
// Exit status 0 when the device was held, 1 when it was not found or could not be claimed.
// Run it with the virtual USB bus's environment (UMOCKDEV_DIR and the preload library).
#include <libusb.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

libusb_device_handle* sOpen(libusb_context* context, uint16_t vendorId, const char* serial) {
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < count && found == nullptr; ++i) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0 ||
            descriptor.idVendor != vendorId)
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0) continue;
        unsigned char text[64] = {};
        int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                        sizeof text - 1);
        if (length > 0 && std::strcmp(reinterpret_cast<char*>(text), serial) == 0)
            found = handle;
        else
            libusb_close(handle);
    }
    if (list != nullptr) libusb_free_device_list(list, 1);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: usb_holder VID SERIAL\n");
        return 1;
    }
    const auto vendorId = static_cast<uint16_t>(std::strtoul(argv[1], nullptr, 16));
    libusb_context* context = nullptr;
    if (libusb_init(&context) != 0) {
        std::fprintf(stderr, "usb_holder: libusb_init failed\n");
        return 1;
    }
    int status = 1;
    libusb_device_handle* handle = sOpen(context, vendorId, argv[2]);
    if (handle == nullptr) {
        std::fprintf(stderr, "usb_holder: no device %s\n", argv[2]);
    } else if (int err = libusb_claim_interface(handle, 0); err != 0) {
        std::fprintf(stderr, "usb_holder: claim failed: %s\n", libusb_error_name(err));
        libusb_close(handle);
    } else {
        std::printf("held\n");
        std::fflush(stdout);
        pollfd in{STDIN_FILENO, POLLIN, 0};
        char byte;
        while (poll(&in, 1, 120000) > 0 && read(STDIN_FILENO, &byte, 1) > 0) {
        }
        libusb_release_interface(handle, 0);
        libusb_close(handle);
        status = 0;
    }
    libusb_exit(context);
    return status;
}
