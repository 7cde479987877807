// Serial port streams: a raw line (used directly by the LPC serial client) and the same line
// with COBS packet framing (used by serial links).
//
// The port is opened non-blocking, switched to raw mode at the chosen speed and, on delete, given
// back its previous settings. A get returns at once (aErrNotReady when nothing is waiting); a
// write returns after the bytes have left the port. The stream's wait operation polls the port.
// One thread may read while another writes.
#pragma once

#include <cstdint>

#include "api/aError.h"
#include "transport/aStream.h"

// Speed index: 0 → 2400, 1 → 4800, 2 → 9600, 3 → 19200, 4 → 38400, 5 → 57600, 6 → 115200,
// 7 → 230400 baud; another index sets the speed to 0.
enum : int32_t {
    aSERIAL_2400 = 0,
    aSERIAL_4800 = 1,
    aSERIAL_9600 = 2,
    aSERIAL_19200 = 3,
    aSERIAL_38400 = 4,
    aSERIAL_57600 = 5,
    aSERIAL_115200 = 6,
    aSERIAL_230400 = 7,
};

// `parity` turns on even parity; `dataBits` 0 = 8 bits, 1 = 7 bits; `stopBits` 0 = one, 1 = two.
// aErrParam for a null path or out pointer or a code above 1; aErrNotFound, aErrPermission or
// aErrIO when the port cannot be opened or set up.
aErr aStream_CreateSerial(const char* path, int32_t speed, bool parity, int32_t dataBits,
                          int32_t stopBits, aStream** stream);

// The same port wrapped in COBS framing (see aCobs.h). Argument and allocation errors give
// aErrResource; open failures give the open's code.
aErr aStream_CreateSerial_Packetized(const char* path, int32_t speed, bool parity, int32_t dataBits,
                                     int32_t stopBits, aStream** stream);
