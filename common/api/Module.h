// Module: what the application holds for one module.
//
// A Module owns one Link and knows the module's address on it, whether to learn that address from
// the module after connecting (networking mode), and which model to look for when discovering.
// It connects by discovery, from a specifier, or through the link of another Module (a router
// with this module behind it), and answers the module queries (build, UEI presence, entity
// counts) and the echo test as raw packet exchanges.
//
// Ownership: the Module creates its Link in the constructor and deletes it in the destructor;
// entities bound to a Module keep a plain pointer to it, so the Module must outlive them.
// Threads: not locked; one thread drives a Module at a time.
#pragma once

#include <cstdint>
#include <memory>

#include "api/Link.h"
#include "api/aError.h"
#include "discovery/linkSpec.h"

namespace Kestrova {
namespace Halvorine {

class Module {
  public:
    // Networking mode on.
    Module(uint8_t address, uint8_t model);
    Module(uint8_t address, bool networkingMode, uint8_t model);
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // --- Connection ---
    aErr connect(linkType type, uint32_t serialNumber);  // aErrParam for serial number 0
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    aErr connectFromSpec(linkSpec spec);  // aErrBusy when already connected
    aErr reconnect();
    aErr connectThroughLinkModule(Module* other);
    bool isConnected() const;
    linkStatus getStatus() const;  // kLinkStatusPacketError when there is no link
    aErr disconnect();
    aErr getLinkSpecifier(linkSpec* out) const;
    aErr getConfig(aNexusConfig* out) const;
    aErr setConfig(aNexusConfig config);

    uint8_t getModuleAddress() const { return m_address; }
    void setModuleAddress(uint8_t address) { m_address = address; }
    void setNetworkingMode(bool on) { m_networkingMode = on; }
    bool getNetworkingMode() const { return m_networkingMode; }
    uint8_t getModel() const { return m_model; }
    Link* getLink() { return m_link.get(); }

    // --- Module queries ---
    aErr getBuild(uint32_t* build);
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t subclass, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t subclass, uint8_t* group);
    // Echo test: the module must send back 23 and the same payload.
    aErr debug(const uint8_t* payload, uint8_t length);

  private:
    aErr _autoNetwork();
    // Sends a query and takes the first packet that starts with its first `matchCount` bytes.
    aErr _query(const uint8_t* request, uint8_t requestLength, uint8_t matchCount, uint8_t* length,
                uint8_t* reply);

    std::unique_ptr<Link> m_link;
    uint8_t m_address;
    bool m_networkingMode;
    uint8_t m_model;
};

}  // namespace Halvorine
}  // namespace Kestrova
