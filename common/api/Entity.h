// Entity: one functional unit of a module, named by a command number and an index, and the UEI
// exchanges (get, set, call, byte strings) that reach it over the module's link.
//
// EntityClass is the base of the concrete entities (SystemClass, I2CClass, the firmware-transfer
// entity). Each exchange sends one request and waits for its reply with the standard 1000 ms
// limit (4000 ms for the acknowledgement of a byte string above 1000 bytes); an error reply
// returns the module's own aErr code.
//
// Ownership: an entity holds a plain pointer to the Module given to init, which must outlive it.
// Threads: not locked; one thread drives an entity (and its module) at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/aError.h"
#include "api/aUEI.h"

namespace Kestrova {
namespace Halvorine {

class Module;

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // Raw packets to and from the module's address (Link::sendPacket / Link::receivePacket).
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // Calls and sets; the module acknowledges each.
    aErr callUEI(uint8_t option);
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI8(uint8_t option, uint8_t subindex, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI16(uint8_t option, uint8_t subindex, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI32(uint8_t option, uint8_t subindex, uint32_t value);
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);

    // Gets; the value is stored only on success. A null pointer gives aErrParam.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI8(uint8_t option, uint8_t subindex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI16(uint8_t option, uint8_t subindex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    aErr getUEI32(uint8_t option, uint8_t subindex, uint32_t* value);
    // A byte string of at most `capacity` bytes; *count is the number of bytes read (also when
    // the exchange fails part way).
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count);
    // Turns a byte count into a count of `unit`-byte items; aErrMemory when it does not divide.
    aErr getUEIBytesCheck(size_t* count, size_t unit);

    // The general forms: the record's value and type are the caller's, the rest is filled in.
    // A get with a ueiByte record sends its value as a subindex.
    aErr getUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uei* record);
    aErr setUEI(uint8_t option, uint8_t subindex, uei* record);

    // Waits (1000 ms) for one report or reply of this entity's option (low byte of `option`)
    // without sending anything. The third argument is not used.
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t unused);
    // Drops every queued reply of this entity and option.
    aErr drainUEI(uint8_t option);

    // Save, reset to factory defaults or load this entity's settings (the store entity).
    aErr saveEntityToStore();
    aErr resetEntityToFactoryDefaults();
    aErr loadEntityFromStore();

    class impl;

  protected:
    Module* getModule() const;
    uint8_t getCommand() const;

  private:
    aErr _storeRequest(uint8_t option);
    std::unique_ptr<impl> m_impl;
};

}  // namespace Halvorine
}  // namespace Kestrova
