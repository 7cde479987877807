// File-local helpers of the Updater operations, shared by the units of the update folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "api/aError.h"
#include "cli/UpdaterDisplayInterface.h"
#include "discovery/linkSpec.h"

class UpdaterStore;
struct DeviceInfo;

namespace Kestrova {
namespace Halvorine {
class Module;
}
}  // namespace Kestrova

// A new store over `updaterDirectory`, or null after reporting
// "Failed to Create UpdaterStore in: <caller> - Exception: <text>".
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& updaterDirectory,
                                                  const char* caller);

// Reads a leading unsigned decimal number ("12x" is 12, leading blanks skipped); false when there
// is none or it does not fit 32 bits.
bool _leading_decimal(const std::string& text, uint32_t& value);

// True when the server's build list for the module holds `build`.
bool _valid_build(unsigned serialNumber, unsigned build, const char* serverUrl);

// --- Device listing and the module queries (Listing.cpp) ---

// Turns network sharing off on `module` (direct link, no fallback, local only) so that the tool
// talks to the module itself; shows "Failed to SET network configuration" and returns the error
// when the module refuses the configuration.
aErr _disableNexus(Kestrova::Halvorine::Module& module, UpdaterDisplayInterface& display);
// USB or TCPIP when a module with this serial number is found that way (USB first), else 0.
linkType _discover_link_type(unsigned serialNumber);
// The firmware build of the connected module (query 73, 255), 0 on any failure.
uint32_t _get_build_number(Kestrova::Halvorine::Module& module);
// Fills the version fields and spec.module and spec.router; the first error is returned.
aErr _get_version(Kestrova::Halvorine::Module& module, DeviceInfo& info);
// Fills deviceName for firmware 2.10.4 and later (by the version already in `info`); earlier
// firmware is not asked and keeps an empty name.
aErr _get_device_name(Kestrova::Halvorine::Module& module, DeviceInfo& info);
