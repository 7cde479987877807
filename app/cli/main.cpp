// main: one invocation of the tool.
//
// Parses the options, prints the banner (and the usage when asked or when no command was named),
// makes sure the store root exists, then runs "-N", "-G" and at most one of "-D", "-U", "-B", "-L"
// in that order. Exit status 0 or 1.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/CLI_Display.h"
#include "cli/Log.h"
#include "cli/Parameters.h"
#include "cli/Printers.h"
#include "cli/Usage.h"
#include "engine/aDirectory.h"
#include "update/Updater.h"

namespace {

// Reads a build number given as decimal text; empty or non-numeric text gives 0 (no build chosen).
uint32_t sBuildFromText(const std::string& text) {
    if (text.empty()) return 0;
    char* end = nullptr;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || text[0] == '-' || value > 0xFFFFFFFFull) return 0;
    return static_cast<uint32_t>(value);
}

int sRun(Parameters& params, CLI_Display& display) {
    const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::INFO;
    const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::ERROR;

    _display_app_version(display);
    if (params.commands.IsSet(CMD_HELP) || !params.commands.IsSet(CMD_ANY)) {
        _display_copyright(display);
        _display_usage(params.debugMaskGiven, params.helpRequested);
        return 0;
    }

    if (params.storeDirectory.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof home);
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n",
                     static_cast<int>(err));
            return 1;
        }
        params.storeDirectory = BuildPath(home, ".kestrova", nullptr);
    }
    params.storeDirectory = BuildPath(params.storeDirectory.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(params.storeDirectory.c_str(), 0755) != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s",
                        params.storeDirectory.c_str());
        return 1;
    }

    Updater updater(params.serverUrl.c_str(), params.storeDirectory.c_str(), display);
    int pending = 0;

    if (params.commands.IsSet(CMD_FINGERPRINT)) {
        if (params.serialPort.empty()) {
            display.message(ERROR, "Must specify the serial port used for connecting");
            return 1;
        }
        Fingerprint fingerprint;
        if (updater.Get_Fingerprint(fingerprint, params.serialPort, DEFAULT_RECOVERY_SERIAL,
                                    params.birdFile, params.baudRate, true)) {
            _display_fingerprint(display, fingerprint);
        } else {
            display.message(ERROR, "Got no response from chip");
            pending = 1;
        }
    }

    if (params.commands.IsSet(CMD_GET_BUILD)) {
        if (params.serialNumber == 0) {
            display.message(ERROR, "-G must specify a specific device via -d");
            display.message(ERROR, "--help for usage information");
            return 1;
        }
        display.message(INFO, "Retrieving firmware for device with serial number %08X",
                        params.serialNumber);
        if (params.buildNumber.empty()) {
            display.message(INFO, "No build specified");
            display.message(INFO, "Using Latest build");
        } else {
            display.message(INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
        }
        uint32_t build = updater.Download_Firmware(params.serialNumber, params.buildNumber,
                                                   params.overrideModelCheck, false);
        if (build != 0) {
            params.buildNumber = std::to_string(build);
            pending = 0;
        } else {
            pending = 1;
        }
    }

    if (params.commands.IsSet(CMD_DISCOVER)) {
        uint32_t type =
            params.transportGiven && params.transport != RECOVER_TRANSPORT ? params.transport : 0;
        if (params.routerSerialNumber != 0) {
            display.message(INFO, "Searching for Halvorine Network devices connected to %08X",
                            params.routerSerialNumber);
            std::vector<DeviceInfo> devices = updater.Discover_HVNetwork_Devices(
                params.routerSerialNumber, static_cast<linkType>(type));
            _display_device_list(display, devices, type);
        } else {
            display.message(INFO, "Searching for Halvorine devices");
            if (type == 0) type = USB;
            std::vector<DeviceInfo> devices = updater.Discover_Devices(static_cast<linkType>(type));
            _display_device_list(display, devices, type);
        }
        return 0;
    }

    if (params.commands.IsSet(CMD_UPDATE)) {
        uint32_t build = sBuildFromText(params.buildNumber);
        updater.Set_UEIBytes_Load(params.useUEIBytes);
        bool updated;
        if (params.transport == RECOVER_TRANSPORT) {
            updated = updater.Recover_Firmware(params.serialPort, build, params.baudRate,
                                               params.serialNumber, params.birdFile,
                                               params.overrideModelCheck);
        } else {
            if (params.serialNumber == 0) {
                display.message(ERROR, "Must specify the specific device to be updated");
                return 1;
            }
            updated = updater.Update_Firmware(params.serialNumber, build, params.birdFile,
                                              params.moduleAddress, params.routerSerialNumber,
                                              params.overrideModelCheck);
        }
        return updated ? 0 : 1;
    }

    if (params.commands.IsSet(CMD_LIST_BUILDS)) {
        if (params.serialNumber == 0) {
            display.message(ERROR, "Error must supply a serial number for the List Builds command");
            _display_usage(false, false);
            return 1;
        }
        _display_builds(display, updater.Get_BuildList(params.serialNumber), params.serialNumber);
        return 0;
    }

    if (params.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (params.serialNumber == 0) {
            display.message(ERROR,
                            "Error must supply a serial number for the List Local Builds command");
            _display_usage(false, false);
            return 1;
        }
        _display_builds(display, updater.Get_BuildListLocal(params.serialNumber),
                        params.serialNumber);
        return 0;
    }

    return pending;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters params;
    CLI_Display display;
    Log::SetOutput(stderr);

    int status;
    if (_get_params(display, argc, argv, &params) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        status = 1;
    } else {
        status = sRun(params, display);
    }
    _release_params(&params);
    return status;
}
