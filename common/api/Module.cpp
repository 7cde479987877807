// Module: connection operations, automatic addressing and the module queries.
#include "api/Module.h"

#include <cstring>

#include "api/aProtocol.h"
#include "engine/aTime.h"

namespace Kestrova {
namespace Halvorine {

namespace {

constexpr int kAddressTries = 4;         // magic queries while the module is not ready
constexpr uint32_t kAddressRetryMs = 5;  // pause after an unanswered query

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new Link("Link")),
      m_address(address),
      m_networkingMode(networkingMode),
      m_model(model) {}

Module::~Module() = default;

// --- Connection ---

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!m_link) return aErrInitialization;
    aErr err = m_link->discoverAndConnect(type, serialNumber, m_model);
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrBusy;
    aErr err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connect();
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::reconnect() {
    if (!m_link) return aErrInitialization;
    aErr err = m_link->connect();
    if (err != aErrNone) return err;
    return _autoNetwork();
}

aErr Module::connectThroughLinkModule(Module* other) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrNone;
    if (other == nullptr) return aErrParam;
    if (!other->m_link) return aErrInitialization;
    linkSpec spec;
    aErr err = other->m_link->getLinkSpecifier(&spec);
    if (err != aErrNone) return err;
    aNexusConfig config;
    other->m_link->getConfig(&config);
    err = m_link->setConfig(config);
    if (err != aErrNone) return err;
    if (config.enabled) {
        // The other module is reached through a link server: so is this one.
        spec.type = ANEXUS;
        spec.ip_address = config.networkInterface;
        spec.ip_port = config.port;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err == aErrNone) err = m_link->connectThroughLinkModule(*other->m_link);
    if (err != aErrNone) return err;
    // The address given at construction names the module behind the router: keep it.
    m_networkingMode = false;
    return aErrNone;
}

bool Module::isConnected() const {
    return m_link && m_link->isConnected();
}

linkStatus Module::getStatus() const {
    return m_link ? m_link->getStatus() : kLinkStatusPacketError;
}

aErr Module::disconnect() {
    if (!m_link) return aErrInitialization;
    return m_link->disconnect();
}

aErr Module::getLinkSpecifier(linkSpec* out) const {
    if (!m_link) return aErrNotReady;
    return m_link->getLinkSpecifier(out);
}

aErr Module::getConfig(aNexusConfig* out) const {
    if (!m_link) return aErrNotReady;
    if (out == nullptr) return aErrParam;
    return m_link->getConfig(out);
}

aErr Module::setConfig(aNexusConfig config) {
    if (!m_link) return aErrNotReady;
    return m_link->setConfig(config);
}

aErr Module::_autoNetwork() {
    if (!m_networkingMode) return aErrNone;
    uint8_t address = 0;
    aErr err = aErrNotReady;
    for (int i = 0; i < kAddressTries; ++i) {
        err = m_link->getModuleAddress(&address);
        if (err != aErrNotReady) break;
        aTime_MSSleep(kAddressRetryMs);
    }
    if (err == aErrNone && address != 0 && address != m_address) m_address = address;
    return err;
}

// --- Module queries ---

aErr Module::_query(const uint8_t* request, uint8_t requestLength, uint8_t matchCount,
                    uint8_t* length, uint8_t* reply) {
    if (!m_link) return aErrInitialization;
    if (!m_link->isConnected()) return aErrConnection;
    aErr err = m_link->sendPacket(m_address, request[0], static_cast<uint8_t>(requestLength - 1),
                                  request + 1);
    if (err != aErrNone) return err;
    *length = matchCount;
    return m_link->receivePacket(m_address, request, length, reply);
}

aErr Module::getBuild(uint32_t* build) {
    if (build == nullptr) return aErrParam;
    if (!m_link) return aErrInitialization;
    const uint8_t request[] = {cmdQUERY, queryBuild};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, sizeof request, &length, reply);
    if (err != aErrNone) return err;
    if (length != aPROTO_QUERY_BUILD_REPLY_LENGTH) return aErrSize;
    *build = aUEI_RetrieveInt(reply + 2);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & OPTION_MASK) != 0 || (flags & OPTION_SET_REPLY) == OPTION_SET_REPLY)
        return aErrParam;
    const uint8_t request[] = {cmdQUERY, queryHasUEI, command, option, index, flags};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 1, &length, reply);
    if (err != aErrNone) return err;
    if (length != aPROTO_QUERY_HASUEI_REPLY_LENGTH || std::memcmp(reply, request, 5) != 0)
        return aErrUnknown;
    return reply[5];
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (count == nullptr) return aErrParam;
    *count = 0;
    const uint8_t request[] = {cmdQUERY, queryClassQuantity, command};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 1, &length, reply);
    if (err != aErrNone) return err;
    if (length != aPROTO_QUERY_CLASS_REPLY_LENGTH || std::memcmp(reply, request, 3) != 0)
        return aErrUnknown;
    *count = reply[3];
    return aErrNone;
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count) {
    if (count == nullptr) return aErrParam;
    *count = 0;
    const uint8_t request[] = {cmdQUERY, querySubClassQuantity, command, subclass};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 1, &length, reply);
    if (err != aErrNone) return err;
    if (length != aPROTO_QUERY_SUBCLASS_REPLY_LENGTH || std::memcmp(reply, request, 4) != 0)
        return aErrUnknown;
    *count = reply[4];
    return aErrNone;
}

aErr Module::entityGroup(uint8_t command, uint8_t subclass, uint8_t* group) {
    if (group == nullptr) return aErrParam;
    *group = 0;
    const uint8_t request[] = {cmdQUERY, queryEntityGroup, command, subclass};
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t length = 0;
    aErr err = _query(request, sizeof request, 1, &length, reply);
    if (err != aErrNone) return err;
    if (length != aPROTO_QUERY_GROUP_REPLY_LENGTH || std::memcmp(reply, request, 4) != 0)
        return aErrUnknown;
    *group = reply[4];
    return aErrNone;
}

aErr Module::debug(const uint8_t* payload, uint8_t length) {
    if (!m_link) return aErrInitialization;
    if (!m_link->isConnected()) return aErrConnection;
    if (length != 0 && payload == nullptr) return aErrParam;
    if (length > aPROTO_MAX_DATA - 1) return aErrParam;
    uint8_t request[aPROTO_MAX_DATA] = {cmdDEBUG};
    if (length != 0) std::memcpy(request + 1, payload, length);
    uint8_t reply[aPROTO_MAX_DATA];
    uint8_t replyLength = 0;
    aErr err = _query(request, static_cast<uint8_t>(length + 1), 1, &replyLength, reply);
    if (err != aErrNone) return err;
    if (replyLength != length + 1) return aErrIO;
    if (length != 0 && std::memcmp(reply + 1, payload, length) != 0) return aErrIO;
    return aErrNone;
}

}  // namespace Halvorine
}  // namespace Kestrova
