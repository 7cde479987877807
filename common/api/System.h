// System: the module's system entity (command 3): identity, version, addressing, power,
// temperatures, name and the module-wide actions (save, reset, factory defaults).
//
// Each method is one UEI exchange with its option (api/aProtocol.h names them); getters take a
// pointer that is written only on success, setters the value. The chip identifier words are read
// with getUEI32(systemUniqueIdentifier, subindex 0-3, ...).
//
// Ownership and threads: as EntityClass; the Module given to init must outlive the entity.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/Entity.h"
#include "api/aError.h"

namespace Kestrova {
namespace Halvorine {

class SystemClass : public EntityClass {
  public:
    SystemClass() = default;
    ~SystemClass() override = default;

    void init(Module* module, uint8_t index);

    aErr getModule(uint8_t* value);
    aErr getRouter(uint8_t* value);
    aErr setRouter(uint8_t value);
    aErr getHBInterval(uint8_t* value);
    aErr setHBInterval(uint8_t value);
    aErr getLED(uint8_t* value);
    aErr setLED(uint8_t value);
    aErr getBootSlot(uint8_t* value);
    aErr setBootSlot(uint8_t value);
    aErr getVersion(uint32_t* value);
    aErr getModel(uint8_t* value);
    aErr getSerialNumber(uint32_t* value);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* value);
    aErr getModuleHardwareOffset(uint8_t* value);
    aErr getModuleBaseAddress(uint8_t* value);
    aErr getModuleSoftwareOffset(uint8_t* value);
    aErr setModuleSoftwareOffset(uint8_t value);
    aErr getRouterAddressSetting(uint8_t* value);
    aErr routeToMe(uint8_t value);
    aErr getInputCurrent(uint32_t* value);
    aErr getUptime(uint32_t* value);
    aErr getMaximumTemperature(int32_t* value);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* value);
    aErr getUnregulatedCurrent(int32_t* value);
    aErr getTemperature(int32_t* value);
    aErr getMinimumTemperature(int32_t* value);
    aErr getInputPowerSource(uint8_t* value);
    aErr getInputPowerBehavior(uint8_t* value);
    aErr setInputPowerBehavior(uint8_t value);
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count);
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t count);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* count);
    aErr setName(const uint8_t* data, size_t length);
    aErr getPowerLimit(uint32_t* value);
    aErr getPowerLimitMax(uint32_t* value);
    aErr setPowerLimitMax(uint32_t value);
    aErr getPowerLimitState(uint32_t* value);
    aErr resetDeviceToFactoryDefaults();
    aErr getLinkInterface(uint8_t* value);
    aErr setLinkInterface(uint8_t value);
    aErr getHardwareVersion(uint32_t* value);
    aErr getErrors(uint32_t* value);
    aErr getLEDMaxBrightness(uint8_t* value);
    aErr setLEDMaxBrightness(uint8_t value);
    aErr getBuild(uint32_t* value);
    aErr getProtocolFeatures(uint32_t* value);
};

}  // namespace Halvorine
}  // namespace Kestrova
