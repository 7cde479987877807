// aDefs: the model-number table.
//
// A module reports its model number through the system entity (and in the low byte of its USB
// product id). The names returned are constant and owned by the library; any thread may call.
#pragma once

#include <cstdint>

// Model numbers of the named products.
enum : uint32_t {
    aMODULE_HUB4 = 4,
    aMODULE_CTRL5 = 5,
    aMODULE_HUB13 = 13,
    aMODULE_CTRL14 = 14,
    aMODULE_HUB15 = 15,
    aMODULE_ROUTER16 = 16,
    aMODULE_HUB17 = 17,
    aMODULE_CTRL18 = 18,
    aMODULE_HUB19 = 19,
    aMODULE_CTRL20 = 20,
    aMODULE_HUB21 = 21,
    aMODULE_CTRL22 = 22,
    aMODULE_ROUTER23 = 23,
    aMODULE_HUB24 = 24,
    aMODULE_CTRL25 = 25,
    aMODULE_HUB26 = 26,
    aMODULE_CTRL27 = 27,
};

// The product name of a model number ("HV-Hub4" ...), "Unknown" for any other number.
const char* aDefs_GetModelName(uint32_t model);
