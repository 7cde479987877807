// Entity: typed UEI gets, sets and calls, byte strings and the store requests.
#include "api/Entity.h"

#include <cstring>
#include <type_traits>

#include "api/Link.h"
#include "api/Module.h"
#include "api/aProtocol.h"

namespace Kestrova {
namespace Halvorine {

class EntityClass::impl {
  public:
    explicit impl(EntityClass& o) : owner(o) {}

    // The module's link, or null when the entity has no module or the module no link.
    Link* link() const { return module ? module->getLink() : nullptr; }

    EntityClass& owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;
};

namespace {

// State of one byte-string get. The reply record comes first, so the filter, handed the record,
// reaches the rest (a standard-layout record and its first member share their address).
struct BytesRead {
    uei record;        // module, command, option byte and index of the expected chunks
    uint8_t* buffer;   // where the string goes
    size_t capacity;   // room in buffer
    size_t* count;     // bytes stored so far
    uint8_t expected;  // sequence number of the next chunk
    bool more;         // the last chunk taken had its continue bit set
    bool discard;      // the string does not fit: take the rest of its run without storing
    aErr error;        // an error reply's code, or aErrMemory for a string that does not fit
};
static_assert(std::is_standard_layout<BytesRead>::value, "the filter reaches BytesRead by cast");

// Accepts the next chunk of the expected run (or an error reply) and stores its bytes.
bool sUEIBytesFilter(const aPacket* packet, void* ref) {
    BytesRead* read = reinterpret_cast<BytesRead*>(static_cast<uei*>(ref));
    const uei& r = read->record;
    if (!aVALIDPACKET(packet) || packet->address != r.module) return false;
    if (packet->dataSize < aPROTO_UEI_HEADER || packet->data[0] != r.command ||
        packet->data[1] != r.option || (packet->data[2] & INDEX_MASK) != r.index)
        return false;
    if (packet->data[2] & INDEX_ERROR) {
        if (read->discard) return false;
        read->error = packet->dataSize > aPROTO_UEI_ERROR_AT
                          ? aErr(packet->data[aPROTO_UEI_ERROR_AT])
                          : aErr(aErrUnknown);
        if (read->error == aErrNone) read->error = aErrUnknown;
        return true;
    }
    if (packet->dataSize < aPROTO_UEI_BYTES_OVERHEAD) return false;  // not a chunk
    if (aUEI_getBytesSequence(packet) != read->expected) return false;
    read->more = aUEI_getBytesContinue(packet);
    if (read->discard) return true;
    const size_t chunk = aUEI_getBytesChunkLength(packet);
    if (*read->count + chunk > read->capacity) {
        read->error = aErrMemory;
        read->discard = true;
        return true;
    }
    if (chunk != 0) std::memcpy(read->buffer + *read->count, packet->data + 3, chunk);
    *read->count += chunk;
    return true;
}

// The module's code of an error reply; one that claims success is still a failure.
aErr sReplyError(const uei& record) {
    aErr code = record.value.byteVal;
    return code == aErrNone ? aErrUnknown : code;
}

template <typename T>
bool sCopyValue(const uei& record, T* out) {
    switch (record.type) {
        case ueiByte:
            *out = static_cast<T>(record.value.byteVal);
            return true;
        case ueiShort:
            *out = static_cast<T>(record.value.shortVal);
            return true;
        case ueiInt:
            *out = static_cast<T>(record.value.intVal);
            return true;
        default:
            return false;  // no value came with the reply: the caller's stays as it was
    }
}

}  // namespace

EntityClass::EntityClass() : m_impl(new impl(*this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

Module* EntityClass::getModule() const {
    return m_impl->module;
}

uint8_t EntityClass::getCommand() const {
    return m_impl->command;
}

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    return link->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    return link->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

// --- General forms ---

aErr EntityClass::getUEI(uint8_t option, uei* record) {
    if (record == nullptr) return aErrParam;
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    // (A link that caches streamed values answers from its cache first; none does yet.)
    const uint8_t module = m_impl->module->getModuleAddress();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | OPTION_GET);
    record->index = static_cast<uint8_t>(m_impl->index | INDEX_REQUEST);
    aErr err = link->sendUEI(*record);
    if (err != aErrNone) return err;
    record->option = option;
    record->index = m_impl->index;
    // A subindex was the request's value, not a reply value: do not hand it back as one.
    if (record->type == ueiByte) record->type = ueiVoid;
    err = link->receiveUEI(module, record->command, option, m_impl->index, record);
    if (err != aErrNone) return err;
    if (record->index & INDEX_ERROR) return sReplyError(*record);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uei* record) {
    if (record == nullptr) return aErrParam;
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | OPTION_SET);
    record->index = static_cast<uint8_t>(m_impl->index | INDEX_REQUEST);
    aErr err = link->sendUEI(*record);
    if (err != aErrNone) return err;
    record->option = static_cast<uint8_t>(option | OPTION_SET_REPLY);
    record->index = m_impl->index;
    err = link->receiveUEI(module, record->command, record->option, m_impl->index, record);
    if (err != aErrNone) return err;
    if (record->index & INDEX_ERROR) return sReplyError(*record);
    return aErrNone;
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subindex, uei* record) {
    if (record == nullptr) return aErrParam;
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    record->module = module;
    record->command = m_impl->command;
    record->option = static_cast<uint8_t>(option | OPTION_SET);
    record->index = static_cast<uint8_t>(m_impl->index | INDEX_REQUEST);
    aErr err = link->sendUEI(*record, subindex);
    if (err != aErrNone) return err;
    record->option = static_cast<uint8_t>(option | OPTION_SET_REPLY);
    record->index = m_impl->index;
    err = link->receiveUEI(module, record->command, record->option, m_impl->index, record);
    if (err != aErrNone) return err;
    if (record->index & INDEX_ERROR) return sReplyError(*record);
    return aErrNone;
}

// --- Calls and sets ---

aErr EntityClass::callUEI(uint8_t option) {
    uei r{};
    r.type = ueiVoid;
    return setUEI(option, &r);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei r{};
    r.type = ueiByte;
    r.value.byteVal = value;
    return setUEI(option, &r);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subindex, uint8_t value) {
    uei r{};
    r.type = ueiByte;
    r.value.byteVal = value;
    return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei r{};
    r.type = ueiShort;
    r.value.shortVal = value;
    return setUEI(option, &r);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subindex, uint16_t value) {
    uei r{};
    r.type = ueiShort;
    r.value.shortVal = value;
    return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei r{};
    r.type = ueiInt;
    r.value.intVal = value;
    return setUEI(option, &r);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subindex, uint32_t value) {
    uei r{};
    r.type = ueiInt;
    r.value.intVal = value;
    return setUEI(option, subindex, &r);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    if (data == nullptr && length != 0) return aErrParam;
    uei r{};
    r.type = ueiBytes;
    r.value.bytes = data;
    r.length = length;
    return setUEI(option, &r);
}

// --- Gets ---

namespace {

template <typename T>
aErr sTypedGet(EntityClass& entity, uint8_t option, const uei& request, T* value) {
    if (value == nullptr) return aErrParam;
    uei r = request;
    aErr err = entity.getUEI(option, &r);
    if (err == aErrNone || err == aErrStreamStale) sCopyValue(r, value);
    return err;
}

uei sPlainGet() {
    uei r{};
    r.type = ueiVoid;
    return r;
}

uei sSubindexGet(uint8_t subindex) {
    uei r{};
    r.type = ueiByte;
    r.value.byteVal = subindex;
    return r;
}

}  // namespace

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    return sTypedGet(*this, option, sPlainGet(), value);
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subindex, uint8_t* value) {
    return sTypedGet(*this, option, sSubindexGet(subindex), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    return sTypedGet(*this, option, sPlainGet(), value);
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subindex, uint16_t* value) {
    return sTypedGet(*this, option, sSubindexGet(subindex), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    return sTypedGet(*this, option, sPlainGet(), value);
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subindex, uint32_t* value) {
    return sTypedGet(*this, option, sSubindexGet(subindex), value);
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* count) {
    if (buffer == nullptr || count == nullptr || capacity == 0) return aErrParam;
    *count = 0;
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    const uint8_t module = m_impl->module->getModuleAddress();
    // Chunks still queued from an earlier run of this option (one cut short by an error or a
    // time-out) would be taken for this run's: drop them before asking.
    link->dropMatchingUEIPackets(module, m_impl->command, option, m_impl->index);
    uei request{};
    request.module = module;
    request.command = m_impl->command;
    request.option = static_cast<uint8_t>(option | OPTION_GET);
    request.index = static_cast<uint8_t>(m_impl->index | INDEX_REQUEST);
    request.type = ueiVoid;
    aErr err = link->sendUEI(request);
    if (err != aErrNone) return err;

    BytesRead read{};
    read.record.module = module;
    read.record.command = m_impl->command;
    read.record.option = option;
    read.record.index = m_impl->index;
    read.record.type = ueiVoid;
    read.buffer = buffer;
    read.capacity = capacity;
    read.count = count;
    read.expected = 0;
    read.error = aErrNone;
    do {
        read.more = false;
        err = link->receiveUEI(module, m_impl->command, option, m_impl->index, &read.record,
                               sUEIBytesFilter);
        if (err != aErrNone) return read.discard ? read.error : err;
        if (read.error != aErrNone && !read.discard) return read.error;
        read.expected = static_cast<uint8_t>((read.expected + 1) & aPROTO_UEI_BYTES_SEQ_MASK);
    } while (read.more);
    // A string too long for the buffer was read to its end, so that no chunk of it stays queued.
    return read.error;
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unit) {
    if (count == nullptr || unit == 0) return aErrParam;
    if (*count % unit != 0) return aErrMemory;
    *count /= unit;
    return aErrNone;
}

// --- Waiting and draining ---

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
    if (value == nullptr) return aErrParam;
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    uei r{};
    r.module = m_impl->module->getModuleAddress();
    r.command = m_impl->command;
    r.option = static_cast<uint8_t>(option & 0xFF);
    r.index = m_impl->index;
    r.type = ueiVoid;
    aErr err = link->receiveUEI(r.module, r.command, r.option, r.index, &r);
    if (err != aErrNone) return err;
    if (r.index & INDEX_ERROR) return sReplyError(r);
    sCopyValue(r, value);
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    Link* link = m_impl->link();
    if (link == nullptr) return aErrResource;
    return link->dropMatchingUEIPackets(m_impl->module->getModuleAddress(), m_impl->command, option,
                                        m_impl->index);
}

// --- Store requests ---

aErr EntityClass::_storeRequest(uint8_t option) {
    EntityClass store;
    store.init(m_impl->module, cmdSTORE, 0);
    const uint32_t target = (uint32_t(m_impl->command) << 8) | m_impl->index;
    return store.setUEI32(option, target);
}

aErr EntityClass::saveEntityToStore() {
    return _storeRequest(storeSave);
}

aErr EntityClass::resetEntityToFactoryDefaults() {
    return _storeRequest(storeResetFactory);
}

aErr EntityClass::loadEntityFromStore() {
    return _storeRequest(storeLoad);
}

}  // namespace Halvorine
}  // namespace Kestrova
