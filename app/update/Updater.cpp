#include "update/Updater.h"

// The operations below are placeholders until their flows are built: each reports that it is not
// available and fails.

namespace {

void sUnavailable(UpdaterDisplayInterface& display, const char* operation) {
    display.message(UpdaterDisplayInterface::ERROR, "%s is not available in this build", operation);
}

}  // namespace

Updater::Updater(const char* url, const char* directory, UpdaterDisplayInterface& out)
    : serverUrl(url ? url : ""),
      updaterDirectory(directory ? directory : ""),
      display(out),
      recoveryChip(0) {}

bool Updater::Get_Fingerprint(Fingerprint&, const std::string&, uint32_t, const std::string&,
                              uint32_t, bool) {
    sUnavailable(display, "Get_Fingerprint");
    return false;
}

bool Updater::Recover_Firmware(const std::string&, uint32_t, uint32_t, uint32_t, const std::string&,
                               bool) {
    sUnavailable(display, "Recover_Firmware");
    return false;
}
