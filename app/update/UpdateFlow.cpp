// The firmware update flow ("-U" for a module whose firmware runs): choose the build, load and
// stamp the BIRD file, connect directly or through a router, check the file against the module,
// run the loader stage, find the module again when it re-enumerated, run the firmware stage, and
// record the result in the module's attributes.
//
// The module's attributes change only after a complete update; a failed one leaves them as they
// were. Main thread only.
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/Module.h"
#include "api/System.h"
#include "api/aDefs.h"
#include "cli/Log.h"
#include "engine/aTime.h"
#include "firmware/BirdFile.h"
#include "firmware/UpdaterStore.h"
#include "server/UpdateServerRequest.h"
#include "transport/hvusb_driver.h"
#include "update/Updater.h"
#include "update/UpdaterEntity.h"
#include "update/UpdaterInternal.h"

using Kestrova::Halvorine::Module;
using Kestrova::Halvorine::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::INFO;
constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::ERROR;

// Re-enumeration after the loader starts: tries, the pause between them, and how often the
// libusb context is refreshed (before every third try).
constexpr int kEnumerationTries = 15;
constexpr uint32_t kEnumerationDelayMs = 1000;
constexpr int kContextRefreshEvery = 3;
// How long a USB module may take to leave the bus after answering LOAD.
constexpr uint64_t kLoaderLeaveMs = 1000;
constexpr uint64_t kLoaderLeavePollMs = 20;

bool sIsUSB(const Module& module) {
    linkSpec spec{};
    return module.getLinkSpecifier(&spec) == aErrNone && spec.type == USB;
}

// Connects `module` by serial number over USB, then over TCP/IP when USB has no such module.
aErr sConnectDirect(Module& module, uint32_t serialNumber) {
    aErr err = module.connect(USB, serialNumber);
    if (err == aErrNotFound) err = module.connect(TCPIP, serialNumber);
    return err;
}

}  // namespace

static bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                               unsigned serialNumber) {
    if (file.blocks().empty()) return false;
    if (!file.hasSerialOffsets() && !file.ValidateSerialNumber(serialNumber)) return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (moduleSerial != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 int(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!file.ValidateModel(name ? name : "")) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        name ? name : "", int(err));
        return false;
    }
    return true;
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build,
                              const std::string& birdFilePath, uint8_t moduleAddress,
                              uint32_t routerSerialNumber, bool overrideModelCheck) {
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, updaterDirectory, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem device;
    if (!store->FindDevice(serialNumber, device)) {
        try {
            device = store->AddDevice(serialNumber);
        } catch (const std::runtime_error& e) {
            display.message(ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                            "Update_Firmware", e.what());
            return false;
        }
    }
    const uint64_t start = aTime_GetMSTicks();

    // Which build: the server's latest when it is stored here, else the latest download, else
    // the latest transfer.
    if (birdFilePath.empty()) {
        if (build == 0) {
            std::string buildText, firmwareText;
            (void)UpdateServerRequest::QueryBuild(serialNumber, buildText, firmwareText, serverUrl);
            if (!_leading_decimal(buildText, build)) {
                Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
                build = 0;
            }
            if (build != 0) {
                try {
                    (void)device.ReadBirdFile(std::to_string(build) + ".bird");
                } catch (const std::runtime_error&) {
                    display.message(INFO,
                                    "New firmware is available.  Updater will proceed if valid "
                                    "firmware is found locally.");
                    build = 0;
                }
            }
        }
        if (build == 0) {
            build = uint32_t(device.attributes.GetInt("LATEST_DOWNLOAD", 0));
            if (build != 0) display.message(INFO, "Updating with the Latest Download");
        }
        if (build == 0) {
            build = uint32_t(device.attributes.GetInt("LATEST_TRANSFER", 0));
            if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
        }
        if (build == 0) {
            display.message(ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile bird;
    try {
        bird = load_bird("Updating", birdFilePath, serialNumber, build, false);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    // Nothing to install (an empty file, or the store could not be opened): never start a
    // transfer that would leave the module in its loader with no firmware to take.
    if (bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).empty()) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }

    if (bird.hasSerialOffsets()) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.ReplaceSerialNumber(serialNumber)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, uint8_t(0));
    aErr err = _disableNexus(target, display);
    bool transferStarted = false;
    if (err == aErrNone) {
        if (routerSerialNumber != 0) {
            if (moduleAddress == 0) {
                const std::vector<DeviceInfo> devices =
                    Discover_HVNetwork_Devices(routerSerialNumber, linkType(0));
                if (devices.empty()) {
                    display.message(ERROR, "Unable to find modules on Network");
                    return false;
                }
                bool found = false;
                uint16_t address = 0;
                for (const DeviceInfo& info : devices) {
                    if (info.spec.serial_num == serialNumber) {
                        address = info.networkAddress;
                        found = true;
                    }
                }
                if (!found) {
                    display.message(ERROR,
                                    "Module address required for indirect firmware update, could "
                                    "not find serial number [0x%08X] on network",
                                    serialNumber);
                    return false;
                }
                target.setModuleAddress(uint8_t(address & 0xFF));
            }
            {
                Module router(0, uint8_t(0));
                if (_disableNexus(router, display) != aErrNone) return false;
                if (sConnectDirect(router, routerSerialNumber) != aErrNone) {
                    display.message(ERROR, "Failed to connect to link module [%08X]",
                                    routerSerialNumber);
                    return false;
                }
                err = target.connectThroughLinkModule(&router);
                if (err != aErrNone)
                    display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
            }
        } else {
            err = sConnectDirect(target, serialNumber);
            if (err != aErrNone)
                display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
        }
    }

    if (err == aErrNone && !overrideModelCheck &&
        !_validate_birdfile(display, bird, target, serialNumber)) {
        display.message(ERROR, "Birdfile failed validation");
        return false;
    }

    if (err == aErrNone) {
        transferStarted = true;
        err = _transfer_loader(display, target, bird);
    }

    // A USB module answers LOAD and then leaves the bus to restart into its loader; give the
    // link a moment to see it go, so that the firmware stage does not start on a dying link.
    if (err == aErrNone && sIsUSB(target)) {
        const uint64_t since = aTime_GetMSTicks();
        while (target.isConnected() && aTime_GetMSTicks() - since < kLoaderLeaveMs)
            aTime_MSSleep(kLoaderLeavePollMs);
    }

    // The module restarted into its loader and left the bus: find it again over USB.
    if (err == aErrNone && !target.isConnected()) {
        target.disconnect();
        for (int attempt = 1; attempt <= kEnumerationTries; ++attempt) {
            if (attempt % kContextRefreshEvery == 0) {
                Log::log(DEBUG_APP,
                         "Failed enumeration after 3 tries, refreshing libusb context.\n");
                Halvorine_libusb_exit();
            }
            if (target.discoverAndConnect(USB, serialNumber) == aErrNone && target.isConnected())
                break;
            if (attempt < kEnumerationTries) aTime_MSSleep(kEnumerationDelayMs);
        }
        if (!target.isConnected())
            display.message(ERROR, "Module [%08X] was not found again after its loader started",
                            serialNumber);
    }

    if (err == aErrNone)
        err = _transfer_firmware(display, target, bird, routerSerialNumber != 0, ueiBytesLoad);

    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        if (transferStarted)
            display.message(ERROR, "Firmware update of module [%08X] failed [%d, %s]", serialNumber,
                            int(err), aError_GetErrorText(err));
        return false;
    }

    device.attributes.Add("LATEST_TRANSFER",
                          birdFilePath.empty() ? std::to_string(build) + ".bird" : birdFilePath);
    device.attributes.Add("LAST_TRANSFER_DATE", KeyValueStore::TimeStamp());
    device.attributes.Save();
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", double(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
