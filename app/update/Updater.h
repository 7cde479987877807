// Updater: the tool's operations on modules, builds and chips.
//
// One Updater is built by main with the update server's URL, the store root (already created) and
// the display it reports on; it keeps copies of the two texts and a reference to the display. Each
// operation opens its own store and modules and releases them before returning; failures are shown
// on the display at the ERROR level and returned as false, 0 or an empty list. Main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "api/aError.h"
#include "cli/UpdaterDisplayInterface.h"
#include "discovery/discover.h"

class BirdFile;

// One listed module.
struct DeviceInfo {
    linkSpec spec{};              // how the module is reached; module and router as it reports them
    uint16_t networkAddress = 0;  // I2C address behind a router (network scan only)
    uint32_t build = 0;           // firmware build, 0 when the query failed
    uint8_t versionMajor = 0;
    uint8_t versionMinor = 0;
    uint32_t versionPatch = 0;
    std::string modelName;
    std::string deviceName;  // the name stored in the module (firmware 2.10.4 and later)
    aErr error = aErrNone;   // the last query that failed
};

// A chip's identity: four 32-bit words as read from its ROM boot loader or live loader.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};

// Serial number under which the default recovery image is stored when no module is known.
constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xDEADDEAD;

// Build lists: build number in decimal -> version text (possibly empty).
typedef std::map<std::string, std::string> BuildList;

class Updater {
  public:
    Updater(const char* serverUrl, const char* updaterDirectory, UpdaterDisplayInterface& display);
    ~Updater() = default;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // Device listing. Type 0 searches USB, then TCP/IP; behind a router, the router's own type.
    std::vector<DeviceInfo> Discover_Devices(linkType type);
    std::vector<DeviceInfo> Discover_HVNetwork_Devices(uint32_t routerSerialNumber, linkType type);

    // Firmware acquisition. Both return the build now stored for the device, 0 on failure; an
    // empty build text means the latest build.
    uint32_t Download_Firmware(uint32_t serialNumber, const std::string& build,
                               bool overrideModelCheck, bool noCal);
    uint32_t Download_Firmware(Fingerprint fingerprint, const std::string& build,
                               bool overrideModelCheck);
    BuildList Get_BuildList(uint32_t serialNumber);
    BuildList Get_BuildListLocal(uint32_t serialNumber);
    // Loads a BIRD file from a path or the store; may throw std::runtime_error.
    BirdFile load_bird(const char* verb, const std::string& birdFilePath, uint32_t serialNumber,
                       uint32_t build, bool allowDownload);

    // Firmware update. build 0 chooses one; an empty path takes the file from the store;
    // moduleAddress 0 finds the address; routerSerialNumber 0 means a direct connection.
    bool Update_Firmware(uint32_t serialNumber, uint32_t build, const std::string& birdFilePath,
                         uint8_t moduleAddress, uint32_t routerSerialNumber,
                         bool overrideModelCheck);
    void Set_UEIBytes_Load(bool load) { ueiBytesLoad = load; }

    // Recovery through a chip's ROM boot loader.
    bool Get_Fingerprint(Fingerprint& out, const std::string& port, uint32_t serialNumber,
                         const std::string& birdFilePath, uint32_t baudRate, bool resetAfter);
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baudRate,
                          uint32_t serialNumber, const std::string& birdFilePath,
                          bool overrideModelCheck);

    std::string serverUrl;
    std::string updaterDirectory;
    UpdaterDisplayInterface& display;
    uint8_t recoveryChip;       // 2: the LPC loader answered the last fingerprint request; 1: not
    bool ueiBytesLoad = false;  // the firmware stage may send block data as UEI byte strings
};
