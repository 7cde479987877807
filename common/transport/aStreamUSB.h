// The USB stream: a module attached by USB, found by its serial number.
//
// The stream uses the maker's kernel driver node when it exists for the serial number and libusb
// otherwise (see hvusb_driver.h). A get serves bytes from a 1024-byte buffer and, when it is
// empty, waits up to 1000 ms for one IN transfer, so a receive loop needs no wait of its own
// (aStream_WaitReadable answers at once for libusb, and polls the node for the kernel driver).
// One thread may read while another writes.
#pragma once

#include <cstdint>

#include "api/aError.h"
#include "transport/aStream.h"

// aErrParam for a null out pointer or serial number 0; aErrNotFound when no attached module has
// this serial number; aErrBusy when another program holds its interface; aErrPermission when it
// may not be opened; aErrConfiguration when it lacks the bulk endpoints.
aErr aStream_CreateUSB(uint32_t serial, aStream** stream);
