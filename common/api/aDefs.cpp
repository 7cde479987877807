// aDefs: model names.
#include "api/aDefs.h"

const char* aDefs_GetModelName(uint32_t model) {
    switch (model) {
        case aMODULE_HUB4:
            return "HV-Hub4";
        case aMODULE_CTRL5:
            return "HV-Ctrl5";
        case aMODULE_HUB13:
            return "HV-Hub13";
        case aMODULE_CTRL14:
            return "HV-Ctrl14";
        case aMODULE_HUB15:
            return "HV-Hub15";
        case aMODULE_ROUTER16:
            return "HV-Router16";
        case aMODULE_HUB17:
            return "HV-Hub17";
        case aMODULE_CTRL18:
            return "HV-Ctrl18";
        case aMODULE_HUB19:
            return "HV-Hub19";
        case aMODULE_CTRL20:
            return "HV-Ctrl20";
        case aMODULE_HUB21:
            return "HV-Hub21";
        case aMODULE_CTRL22:
            return "HV-Ctrl22";
        case aMODULE_ROUTER23:
            return "HV-Router23";
        case aMODULE_HUB24:
            return "HV-Hub24";
        case aMODULE_CTRL25:
            return "HV-Ctrl25";
        case aMODULE_HUB26:
            return "HV-Hub26";
        case aMODULE_CTRL27:
            return "HV-Ctrl27";
        default:
            return "Unknown";
    }
}
