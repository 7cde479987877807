// The USB transport's side of the test, in a unit of its own: the vendor id the transport looks
// for and the reset of its libusb context. Kept apart from the protocol headers, which declare a
// vendor id of their own under the same name.
#include "transport/hvusb_driver.h"

uint16_t usbTransportVendorId() {
    return HALVORINE_VENDOR_ID;
}

void usbTransportExit() {
    Halvorine_libusb_exit();
}
