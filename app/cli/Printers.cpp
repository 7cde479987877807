#include "cli/Printers.h"

#include "api/aDefs.h"
#include "server/UpdateServerRequest.h"

#include <cstdio>

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::INFO, "%s (%s)", "Updater",
                    "Version: 2.12.1 Feb 11 2026");
}

void _display_copyright(UpdaterDisplayInterface& display) {
    display.message(UpdaterDisplayInterface::INFO,
                    "Copyright (c) 2012-2026 Kestrova. All rights reserved.");
}

void _display_device_list(UpdaterDisplayInterface& display, const std::vector<DeviceInfo>& devices,
                          uint32_t type) {
    const UpdaterDisplayInterface::Level info = UpdaterDisplayInterface::INFO;
    display.message(info, "Discovered Devices: (%s)",
                    type == USB     ? "USB"
                    : type == TCPIP ? "TCPIP"
                                    : "Unknown");
    if (devices.empty()) {
        display.message(info, "    No devices found.");
        return;
    }
    if (type == USB)
        display.message(info,
                        "    Device    Module   Router  Model          Firmware Version "
                        "(Build)    Device Name");
    else
        display.message(info,
                        "    Device    Module   Router  Model          Firmware Version "
                        "(Build)   [IP address]       Device Name");
    for (const DeviceInfo& device : devices) {
        const linkSpec& spec = device.spec;
        if (spec.type == TCPIP) {
            const uint8_t* ip = reinterpret_cast<const uint8_t*>(&spec.ip_address);
            char address[20];
            snprintf(address, sizeof address, "[%d.%d.%d.%d]", ip[0], ip[1], ip[2], ip[3]);
            display.message(
                info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)        %-17s  %s",
                spec.serial_num, spec.module, spec.router, aDefs_GetModelName(spec.model),
                device.versionMajor, device.versionMinor, device.versionPatch, device.build,
                address, device.deviceName.c_str());
        } else if (device.error != aErrNone) {
            display.message(info,
                            "    %08X  [Error (%d): Is someone else connected to this device?]",
                            spec.serial_num, static_cast<int>(device.error));
        } else {
            display.message(
                info, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%10u)         %s",
                spec.serial_num, spec.module, spec.router, aDefs_GetModelName(spec.model),
                device.versionMajor, device.versionMinor, device.versionPatch, device.build,
                device.deviceName.c_str());
        }
    }
}

void _display_builds(UpdaterDisplayInterface& display, const BuildList& builds,
                     uint32_t serialNumber) {
    const UpdaterDisplayInterface::Level info = UpdaterDisplayInterface::INFO;
    if (builds.empty()) {
        display.message(info, "No builds found for device [%08X]", serialNumber);
        return;
    }
    display.message(info, "Build List for device [%08X]:\n", serialNumber);
    display.message(info, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& entry : UpdateServerRequest::SortBuildsByVersion(builds))
        display.message(info, "%-15.15s\t%-15.15s", entry.first.c_str(), entry.second.c_str());
}

void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint) {
    display.message(UpdaterDisplayInterface::INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0],
                    fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
}
