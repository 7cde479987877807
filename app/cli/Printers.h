// Printers: the banner and the command results, one INFO message per line on the display.
//
// Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "cli/UpdaterDisplayInterface.h"
#include "update/Updater.h"

// "Updater (Version: 2.12.1 Feb 11 2026)".
void _display_app_version(UpdaterDisplayInterface& display);
// The maker's one-line copyright notice.
void _display_copyright(UpdaterDisplayInterface& display);

// The device list of "-D"; type 0 (or any type but USB and TCPIP) prints as "Unknown".
void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t type);
// The build list of "-B" and "-L".
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, uint32_t serialNumber);
// "[ %08X %08X %08X %08X ]".
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
