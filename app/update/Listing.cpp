// Device listing: the modules reachable by discovery (USB, TCP/IP) or behind one router module on
// its I2C bus, each connected once, asked for its build, version and name, and disconnected.
//
// Also the small helpers the update flows share: turning a Module's network sharing off before it
// connects, and finding the link type by which a serial number is reachable. Main thread only; the
// link engine carries the packets on its own threads.
#include <cstddef>
#include <cstring>
#include <vector>

#include "api/I2C.h"
#include "api/Module.h"
#include "api/System.h"
#include "api/aDefs.h"
#include "api/aProtocol.h"
#include "api/aVersion.h"
#include "cli/Log.h"
#include "discovery/discover.h"
#include "update/Updater.h"
#include "update/UpdaterInternal.h"

using Kestrova::Halvorine::I2CClass;
using Kestrova::Halvorine::Module;
using Kestrova::Halvorine::SystemClass;

namespace {

constexpr UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::ERROR;

// Module address used for a directly connected module until it reports its own.
constexpr uint8_t kDirectModuleAddress = 2;
// Network scan: the even I2C addresses probed, and the router's bus speed code while probing.
constexpr unsigned kFirstNetworkAddress = 2;
constexpr unsigned kLastNetworkAddress = 252;
constexpr uint8_t kScanI2CSpeed = 3;
// Firmware from which a module stores a name.
constexpr uint8_t kNameMajor = 2, kNameMinor = 10, kNamePatch = 4;
// Longest module name read.
constexpr size_t kNameCapacity = 32;
// The part of a link specifier after the identity fields (offset 24 on): how the module is
// reached, which a module behind a router shares with the router.
constexpr size_t kSpecReachOffset = offsetof(linkSpec, usb_id);

// Appends each module found to the std::vector<DeviceInfo> given as `ref`.
bool _discovered_device(const linkSpec* spec, bool* found, void* ref) {
    auto* list = static_cast<std::vector<DeviceInfo>*>(ref);
    DeviceInfo info;
    std::memcpy(&info.spec, spec, sizeof info.spec);
    list->push_back(info);
    *found = true;
    return true;
}

// What _discovered_link looks for, and the link type it found (0 until then).
struct LinkSearch {
    uint32_t serialNumber;
    linkType type;
};

bool _discovered_link(const linkSpec* spec, bool* found, void* ref) {
    auto* search = static_cast<LinkSearch*>(ref);
    *found = true;
    if (spec->serial_num != search->serialNumber) return true;
    Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serial_num,
             static_cast<int>(spec->type));
    search->type = spec->type;
    return false;
}

}  // namespace

aErr _disableNexus(Module& module, UpdaterDisplayInterface& display) {
    aNexusConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    aErr err = module.setConfig(config);
    if (err != aErrNone) display.message(ERROR, "Failed to SET network configuration");
    return err;
}

linkType _discover_link_type(unsigned serialNumber) {
    LinkSearch search{serialNumber, 0};
    aDiscovery_EnumerateModules(USB, _discovered_link, &search, aDISCOVERY_LOOPBACK);
    if (search.type == 0)
        aDiscovery_EnumerateModules(TCPIP, _discovered_link, &search, aDISCOVERY_LOOPBACK);
    return search.type;
}

uint32_t _get_build_number(Module& module) {
    Kestrova::Halvorine::Link* link = module.getLink();
    if (link == nullptr) return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request[] = {cmdQUERY, queryBuild};
    if (link->sendPacket(address, request[0], 1, request + 1) != aErrNone) return 0;
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = sizeof request;
    if (link->receivePacket(address, request, &length, reply) != aErrNone) return 0;
    if (length != aPROTO_QUERY_BUILD_REPLY_LENGTH) return 0;
    return (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) | (uint32_t(reply[4]) << 8) |
           uint32_t(reply[5]);
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    aErr err = system.getVersion(&packed);
    if (err != aErrNone) return err;
    info.versionMajor = static_cast<uint8_t>(aVersion_ParseMajor(packed));
    info.versionMinor = static_cast<uint8_t>(aVersion_ParseMinor(packed));
    info.versionPatch = static_cast<uint32_t>(aVersion_ParsePatch(packed));
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err != aErrNone) return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _get_device_name(Module& module, DeviceInfo& info) {
    if (!aVersion_IsAtLeastCompare(info.versionMajor, info.versionMinor,
                                   static_cast<uint8_t>(info.versionPatch), kNameMajor, kNameMinor,
                                   kNamePatch))
        return aErrNone;
    SystemClass system;
    system.init(&module, 0);
    uint8_t name[kNameCapacity];
    size_t count = 0;
    aErr err = system.getName(name, sizeof name, &count);
    if (err != aErrNone) return err;
    info.deviceName.assign(reinterpret_cast<const char*>(name), count);
    return aErrNone;
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> list;
    std::vector<linkType> types{type};
    if (type == 0) types = {USB, TCPIP};
    for (linkType each : types)
        aDiscovery_EnumerateModules(each, _discovered_device, &list, aDISCOVERY_LOOPBACK);

    for (DeviceInfo& info : list) {
        info.modelName = aDefs_GetModelName(info.spec.model);
        Module module(kDirectModuleAddress, uint8_t{0});
        if (_disableNexus(module, display) != aErrNone) continue;
        info.error = module.connectFromSpec(info.spec);
        if (info.error == aErrNone) {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            if (info.error == aErrNone) info.error = _get_device_name(module, info);
        }
        module.disconnect();
    }
    return list;
}

std::vector<DeviceInfo> Updater::Discover_HVNetwork_Devices(uint32_t routerSerialNumber,
                                                            linkType type) {
    std::vector<DeviceInfo> list;
    if (type == 0) type = _discover_link_type(routerSerialNumber);
    linkSpec* found = aDiscovery_FindModule(type, routerSerialNumber, aDISCOVERY_LOOPBACK);
    if (found == nullptr) return list;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(kDirectModuleAddress, uint8_t{0});
    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    bool routed = false;
    aErr err = _disableNexus(router, display);
    if (err == aErrNone) {
        err = router.connectFromSpec(*found);
        if (err != aErrNone) display.message(ERROR, "Error %d on connectFromSpec", int(err));
    }
    if (err == aErrNone) {
        err = routerSystem.routeToMe(1);
        if (err != aErrNone)
            display.message(ERROR, "Error %d on route to me", int(err));
        else
            routed = true;
    }

    if (routed) {
        I2CClass i2c;
        i2c.init(&router, 0);
        i2c.setSpeed(kScanI2CSpeed);
        const uint8_t routerAddress = router.getModuleAddress();
        const uint8_t probe[2] = {0, 0};
        for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress;
             address += 2) {
            if (address == routerAddress) continue;
            Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
            if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone) continue;

            Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
            Module module(static_cast<uint8_t>(address), false, uint8_t{0});
            _disableNexus(module, display);
            if (module.connectThroughLinkModule(&router) != aErrNone) continue;
            SystemClass system;
            system.init(&module, 0);
            uint32_t serialNumber = 0;
            if (system.getSerialNumber(&serialNumber) != aErrNone) {
                module.disconnect();
                continue;
            }
            Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serialNumber);

            DeviceInfo info;
            std::memcpy(reinterpret_cast<uint8_t*>(&info.spec) + kSpecReachOffset,
                        reinterpret_cast<const uint8_t*>(found) + kSpecReachOffset,
                        sizeof(linkSpec) - kSpecReachOffset);
            info.spec.type = type;
            info.spec.serial_num = serialNumber;
            info.spec.router = routerAddress;
            info.spec.router_serial_num = routerSerialNumber;
            info.networkAddress = static_cast<uint16_t>(address);
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
            uint8_t model = 0;
            aErr modelErr = system.getModel(&model);
            if (modelErr != aErrNone) {
                info.error = modelErr;
            } else {
                info.spec.model = model;
                info.modelName = aDefs_GetModelName(model);
            }
            module.disconnect();
            list.push_back(info);
        }
        routerSystem.routeToMe(0);
    }

    router.disconnect();
    aLinkSpec_Destroy(&found);
    return list;
}
