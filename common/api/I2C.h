// I2C: a module's I2C bus entity (command 8): bus speed, reads, writes and the pull-up switch.
//
// Transfers are raw command packets, not UEI exchanges: a read or write of at most 23 bytes goes
// out with the entity's speed code and the module answers with a count and a status byte whose
// bit 7 marks a failure (its low 7 bits are then the aErr code).
//
// Ownership and threads: as EntityClass; the Module given to init must outlive the entity.
#pragma once

#include <cstdint>

#include "api/Entity.h"
#include "api/aError.h"

namespace Kestrova {
namespace Halvorine {

class I2CClass : public EntityClass {
  public:
    static constexpr uint8_t kMaxSpeed = 3;           // speed codes 0-3
    static constexpr uint8_t kMaxTransferBytes = 23;  // bytes in one read or write

    I2CClass() = default;
    ~I2CClass() override = default;

    void init(Module* module, uint8_t index);

    // The speed code sent with every transfer; aErrParam above 3.
    aErr setSpeed(uint8_t speed);
    aErr getSpeed(uint8_t* speed) const;

    // Reads `length` bytes from the device at `address` (an 8-bit address with the R/W bit clear);
    // `data` receives at most `length` bytes.
    aErr read(uint8_t address, uint8_t length, uint8_t* data);
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    aErr setPullup(bool enable);

  private:
    // Waits for the reply that starts with `match` (3 or 4 bytes) and checks its status byte.
    aErr _reply(const uint8_t* match, uint8_t matchLength, uint8_t* length, uint8_t* reply);

    uint8_t m_speed = 0;
};

}  // namespace Halvorine
}  // namespace Kestrova
