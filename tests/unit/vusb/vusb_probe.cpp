// A separate program for the bus's two-process form: opens the device with the given vendor and
// product id, claims interface 0, writes its third argument to endpoint 0x01, reads once from
// endpoint 0x81 and prints what came back. With "--hold" as the third argument it prints
// "claimed" once it holds the interface and keeps it until its standard input ends.
// Exit status 0 on success, 2 when no device was found.
#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 4) return 1;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 1;
    const auto vid = uint16_t(strtoul(argv[1], nullptr, 16));
    const auto pid = uint16_t(strtoul(argv[2], nullptr, 16));
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, vid, pid);
    if (!h) {
        libusb_exit(ctx);
        return 2;
    }
    int status = 1;
    if (strcmp(argv[3], "--hold") == 0) {
        if (libusb_claim_interface(h, 0) == 0) {
            printf("claimed\n");
            fflush(stdout);
            while (getchar() != EOF) {
            }
            libusb_release_interface(h, 0);
            status = 0;
        }
        libusb_close(h);
        libusb_exit(ctx);
        return status;
    }
    unsigned char in[64] = {0};
    int n = 0;
    if (libusb_claim_interface(h, 0) == 0 &&
        libusb_bulk_transfer(h, 0x01, reinterpret_cast<unsigned char*>(argv[3]),
                             int(strlen(argv[3])), &n, 1000) == 0 &&
        libusb_bulk_transfer(h, 0x81, in, sizeof in - 1, &n, 2000) == 0) {
        printf("%.*s\n", n, reinterpret_cast<char*>(in));
        status = 0;
    }
    libusb_close(h);
    libusb_exit(ctx);
    return status;
}
