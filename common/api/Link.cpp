// Link: connection handling and module traffic of the link facade.
#include "api/Link.h"

#include <cstring>
#include <string>
#include <vector>

#include "api/aProtocol.h"
#include "discovery/discover.h"
#include "engine/aPacket.h"
#include "engine/aTime.h"

namespace Kestrova {
namespace Halvorine {

namespace {

constexpr uint32_t kWaitForLinkRounds = 200;  // about 2 s of 10 ms polls
constexpr uint32_t kWaitForLinkPollMs = 10;
constexpr uint8_t kMaxCommandBytes = aPROTO_MAX_DATA - 1;  // bytes after the command byte

// A zero-length packet: the module's answer to the magic packet.
bool sMatchMagic(const aPacket* packet, void*) {
    return packet != nullptr && packet->dataSize == 0;
}

struct CommandMatch {
    const uint8_t* bytes;
    uint8_t count;
};

// A packet whose first `count` data bytes equal the match bytes, whatever its address.
bool sCommandFilter(const aPacket* packet, void* ref) {
    const CommandMatch* m = static_cast<const CommandMatch*>(ref);
    if (packet == nullptr || packet->dataSize < m->count) return false;
    return m->count == 0 || std::memcmp(packet->data, m->bytes, m->count) == 0;
}

// Discovery callback: the first module of the wanted model (any for model 0) wins.
bool sModelCallback(const linkSpec* spec, bool* found, void* ref) {
    linkSpec* wanted = static_cast<linkSpec*>(ref);
    if (wanted->model != 0 && spec->model != wanted->model) return true;
    *wanted = *spec;
    *found = true;
    return false;
}

// Queues a packet and releases it; aErrResource when it could not be built.
aErr sPut(uint32_t linkId, aPacket* packet) {
    if (packet == nullptr) return aErrResource;
    aErr err = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

}  // namespace

std::mutex& linkCreateHelperSerializer() {
    // Never destroyed, so that links torn down by destructors at exit can still take it.
    static std::mutex* const serializer = new std::mutex;
    return *serializer;
}

bool sUEIFilter(const aPacket* packet, void* ref) {
    uei* record = static_cast<uei*>(ref);
    if (!aVALIDPACKET(packet) || record == nullptr) return false;
    if (packet->address != record->module || packet->dataSize < aPROTO_UEI_HEADER) return false;
    if (packet->data[0] != record->command || packet->data[1] != record->option) return false;
    if ((packet->data[2] & INDEX_MASK) != (record->index & INDEX_MASK)) return false;
    if (packet->data[2] & INDEX_ERROR) {
        record->index = packet->data[2];
        // An error reply without its code byte still is an error; call it unknown.
        record->value.byteVal = packet->dataSize > aPROTO_UEI_ERROR_AT
                                    ? packet->data[aPROTO_UEI_ERROR_AT]
                                    : uint8_t(aErrUnknown);
    } else {
        aUEI_DecodeValue(packet, record);
    }
    return true;
}

class Link::impl {
  public:
    impl(Link& o, const char* n) : owner(o) {
        if (n != nullptr) name.assign(n, strnlen(n, kMaxNameLength));
    }
    ~impl() { aLink_Destroy(&linkId); }

    bool connected() const { return linkId != 0 && aLink_GetStatus(linkId) == kLinkStatusRunning; }

    aErr connectHelper();
    aErr linkCreateHelper();
    aErr waitForLink(uint32_t rounds) const;
    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
    bool fallbackHelper(linkType type, aErr err, linkType* other) const;

    Link& owner;
    uint32_t linkId = 0;
    aNexusConfig config;
    std::string name;
    std::unique_ptr<linkSpec> spec;
};

aErr Link::impl::connectHelper() {
    if (!spec) return aErrConfiguration;
    aErr err = linkCreateHelper();
    if (err != aErrNone) return err;
    if (linkId == 0) return aErrConnection;
    return waitForLink(kWaitForLinkRounds);
}

aErr Link::impl::linkCreateHelper() {
    std::lock_guard<std::mutex> hold(linkCreateHelperSerializer());
    const linkSpec& s = *spec;
    if (isANEXUS(s.type) || s.type == USB || s.type == TCPIP || s.type == SERIAL) {
        // A shared link (a client of a link sharing server, or a device link wrapped in one) needs
        // the sharing layer, which this build does not carry: refuse before anything is opened.
        if (config.enabled) return aErrUnimplemented;
    }
    uint32_t id = 0;
    switch (s.type) {
        case USB:
            id = aLink_CreateUSB(s.serial_num);
            break;
        case TCPIP:
            id = aLink_CreateTCPIP(s.serial_num, s.ip_address, static_cast<uint16_t>(s.ip_port));
            break;
        case SERIAL: {
            // The name travels in a fixed field: never read past it, terminated or not.
            char port[aLINKSPEC_PORTNAME_SIZE + 1];
            std::memcpy(port, s.port_name, aLINKSPEC_PORTNAME_SIZE);
            port[aLINKSPEC_PORTNAME_SIZE] = '\0';
            id = aLink_CreateSerial(s.serial_num, port, s.baud_rate);
            break;
        }
        default:
            return isANEXUS(s.type) ? aErrConfiguration : aErrMode;
    }
    linkId = id;
    return aErrNone;
}

aErr Link::impl::waitForLink(uint32_t rounds) const {
    switch (aLink_GetStatus(linkId)) {
        case kLinkStatusStopped:
        case kLinkStatusStarting:
        case kLinkStatusSyncing:
            for (uint32_t i = 0; i < rounds; ++i) {
                if (aLink_GetStatus(linkId) == kLinkStatusRunning) return aErrNone;
                aTime_MSSleep(kWaitForLinkPollMs);
            }
            return aLink_GetStatus(linkId) == kLinkStatusRunning ? aErrNone : aErrConnection;
        case kLinkStatusRunning:
            return aErrNone;
        case kLinkStatusStopping:
            return aErrBusy;
        case kLinkStatusNoStream:
        case kLinkStatusIOError:
        case kLinkStatusPacketError:
            return aErrConnection;
        default:
            return aErrDuplicate;
    }
}

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
    linkSpec* result = nullptr;
    if (serialNumber != 0) {
        result = aDiscovery_FindModule(type, serialNumber, config.networkInterface);
    } else {
        result = aLinkSpec_Create(type);
        if (result == nullptr) return aErrMemory;
        result->model = model;
        if (aDiscovery_EnumerateModules(type, sModelCallback, result, config.networkInterface) == 0)
            aLinkSpec_Destroy(&result);
    }
    if (result == nullptr) return aErrNotFound;
    spec.reset(new linkSpec(*result));
    aLinkSpec_Destroy(&result);
    return owner.connect();
}

bool Link::impl::fallbackHelper(linkType type, aErr err, linkType* other) const {
    if (err != aErrConnection && err != aErrNotFound && err != aErrInitialization) return false;
    if (!config.fallback) return false;
    if (type == USB || type == TCPIP) {
        *other = ANEXUS;
        return true;
    }
    if (isANEXUS(type)) {
        *other = USB;
        return true;
    }
    return false;
}

// --- Construction and configuration ---

Link::Link(const char* name) : m_impl(new impl(*this, name)) {}

Link::Link(linkSpec spec, const char* name) : m_impl(new impl(*this, name)) {
    m_impl->spec.reset(new linkSpec(spec));
}

Link::~Link() = default;

aErr Link::getConfig(aNexusConfig* out) const {
    if (out == nullptr) return aErrParam;
    *out = m_impl->config;
    return aErrNone;
}

aErr Link::setConfig(aNexusConfig config) {
    if (m_impl->connected()) return aErrMode;
    m_impl->config = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* out) const {
    if (!m_impl->spec) return aErrNotFound;
    if (out == nullptr) return aErrParam;
    *out = *m_impl->spec;
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (m_impl->connected()) return aErrBusy;
    m_impl->spec.reset(new linkSpec(spec));
    return aErrNone;
}

const char* Link::getName() const {
    return m_impl->name.c_str();
}

// --- Connection ---

aErr Link::connect() {
    if (m_impl->linkId != 0) return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    // While a link is held a search would only replace the specifier of the live connection.
    if (m_impl->linkId != 0) return aErrConnection;
    aErr err = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    linkType other = type;
    if (m_impl->fallbackHelper(type, err, &other))
        err = m_impl->discoveryAndConnectHelper(other, serialNumber, model);
    return err;
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (other.m_impl->linkId == 0) return aErrInitialization;
    if (m_impl->linkId != 0) return aErrConnection;
    // The stored specifier names the other link's connection, so the link table hands out the
    // same engine link with one more holder.
    return m_impl->connectHelper();
}

bool Link::isConnected() const {
    return m_impl->connected();
}

linkStatus Link::getStatus() const {
    if (m_impl->linkId == 0) return kLinkStatusPacketError;
    return aLink_GetStatus(m_impl->linkId);
}

aErr Link::disconnect() {
    if (m_impl->linkId != 0) aLink_Destroy(&m_impl->linkId);
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl->linkId != 0) aLink_Reset(m_impl->linkId);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

// --- Module traffic ---

aErr Link::getModuleAddress(uint8_t* address) {
    if (address == nullptr) return aErrParam;
    *address = 0;
    if (!m_impl->connected()) return aErrNotReady;
    const uint8_t none = 0;
    aErr err = sPut(m_impl->linkId, aPacket_CreateWithData(cmdMAGIC, 0, &none));
    if (err != aErrNone) return aErrNotReady;
    aPacket* reply =
        aLink_AwaitFirst(m_impl->linkId, sMatchMagic, nullptr, aPROTO_REPLY_TIMEOUT_MS);
    if (reply == nullptr) return aErrNotReady;
    *address = reply->address;
    aPacket_Destroy(&reply);
    return aErrNone;
}

namespace {

// Appends a scalar value of `record` after the header bytes; false for a type that has no scalar
// encoding.
bool sAppendValue(const uei& record, uint8_t* data, uint8_t& length) {
    switch (record.type) {
        case ueiVoid:
            return true;
        case ueiByte:
            data[length++] = record.value.byteVal;
            return true;
        case ueiShort:
            aUEI_StoreShort(data + length, record.value.shortVal);
            length += 2;
            return true;
        case ueiInt:
            aUEI_StoreInt(data + length, record.value.intVal);
            length += 4;
            return true;
        default:
            return false;
    }
}

}  // namespace

aErr Link::sendUEI(uei record) {
    if (!m_impl->connected()) return aErrConnection;
    if (!aProto_IsModuleAddress(record.module)) return aErrPacket;
    if (record.type == ueiBytes) {
        if (record.value.bytes == nullptr && record.length != 0) return aErrParam;
        // The chunks are queued as one run, so that a pooled link writes them together.
        const size_t count = aUEI_BytesPacketCount(record.length);
        std::vector<aPacket*> chunks;
        chunks.reserve(count);
        aErr err = aErrNone;
        for (size_t n = 0; n < count && err == aErrNone; ++n) {
            aPacket* chunk =
                aUEI_CreateBytesPacket(record.module, record.command, record.option, record.index,
                                       record.value.bytes, record.length, n);
            if (chunk == nullptr)
                err = aErrResource;
            else
                chunks.push_back(chunk);
        }
        if (err == aErrNone) err = aLink_PutPackets(m_impl->linkId, chunks.data(), chunks.size());
        for (aPacket*& chunk : chunks) aPacket_Destroy(&chunk);
        return err;
    }
    uint8_t data[aPROTO_MAX_DATA] = {record.command, record.option, record.index};
    uint8_t length = aPROTO_UEI_HEADER;
    if (!sAppendValue(record, data, length)) return aErrParam;
    return sPut(m_impl->linkId, aPacket_CreateWithData(record.module, length, data));
}

aErr Link::sendUEI(uei record, uint8_t subindex) {
    if (!m_impl->connected()) return aErrConnection;
    if (!aProto_IsModuleAddress(record.module)) return aErrPacket;
    uint8_t data[aPROTO_MAX_DATA] = {record.command, record.option, record.index, subindex};
    uint8_t length = aPROTO_UEI_HEADER + 1;
    if (!sAppendValue(record, data, length)) return aErrParam;
    return sPut(m_impl->linkId, aPacket_CreateWithData(record.module, length, data));
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record) {
    return receiveUEI(module, command, option, index, record, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* record, aPacketProc filter) {
    if (!m_impl->connected()) return aErrConnection;
    if (!aProto_IsModuleAddress(module)) return aErrPacket;
    if (record == nullptr || filter == nullptr) return aErrParam;
    const uint32_t limit = (record->type == ueiBytes && record->length > aPROTO_LARGE_SET_THRESHOLD)
                               ? aPROTO_LARGE_SET_TIMEOUT_MS
                               : aPROTO_REPLY_TIMEOUT_MS;
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, filter, record, limit);
    if (packet == nullptr) return aErrTimeout;
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index) {
    if (!m_impl->connected()) return aErrConnection;
    if (!aProto_IsModuleAddress(module)) return aErrPacket;
    uei record{};
    record.module = module;
    record.command = command;
    record.option = option;
    record.index = index;
    aLink_DrainPackets(m_impl->linkId, sUEIFilter, &record);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (!m_impl->connected()) return aErrConnection;
    if (length > kMaxCommandBytes || (length != 0 && data == nullptr)) return aErrParam;
    if (!aProto_IsModuleAddress(module)) return aErrPacket;
    uint8_t bytes[aPROTO_MAX_DATA] = {command};
    if (length != 0) std::memcpy(bytes + 1, data, length);
    // Queuing can fail only when memory runs out; the reply wait then reports the loss.
    sPut(m_impl->linkId, aPacket_CreateWithData(module, static_cast<uint8_t>(length + 1), bytes));
    return aErrNone;
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!m_impl->connected()) return aErrConnection;
    if (!aProto_IsModuleAddress(module)) return aErrPacket;
    if (length == nullptr || data == nullptr || *length > aPROTO_MAX_DATA ||
        (*length != 0 && match == nullptr))
        return aErrParam;
    CommandMatch m{match, *length};
    aPacket* packet = aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &m, aPROTO_REPLY_TIMEOUT_MS);
    if (packet == nullptr) return aErrTimeout;
    *length = packet->dataSize;
    std::memcpy(data, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

}  // namespace Halvorine
}  // namespace Kestrova
