// Link: the handle to one connection to a module (or to a chain of modules behind one physical
// connection), built on the link engine's packet queues.
//
// A Link keeps the specifier that says how to reach the module, its network-sharing settings and,
// once connected, one id in the process-wide link table. It offers connecting (from the stored
// specifier, by discovery, or through another link), status, disconnecting and resetting, the
// module-address query, UEI commands and replies, and raw command packets.
//
// Ownership: a Link owns its specifier copy, its name and its hold on the engine link, which the
// destructor releases (other holders of a shared link keep it running). Packets received are
// consumed by the Link and never handed out.
//
// Threads: one thread at a time drives a Link; its configuration, specifier and link id are not
// locked. Every link creation in the process is serialised by linkCreateHelperSerializer(), which
// is taken before the link table lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "api/aError.h"
#include "api/aUEI.h"
#include "discovery/discover.h"
#include "discovery/linkSpec.h"
#include "engine/aLink.h"
#include "engine/packetfifo.h"

// Network-sharing settings of a Link; a plain record copied by value.
struct aNexusConfig {
    bool enabled = true;    // share the link through a local link server; allow types 4-7
    bool fallback = true;   // discoverAndConnect retries with the other kind of link
    bool localOnly = true;  // a server binds and answers discovery on loopback only
    uint16_t port = 0;      // server port; written back when a server is made
    uint32_t networkInterface = aDISCOVERY_LOOPBACK;  // IPv4, network byte order (127.0.0.1)
};

namespace Kestrova {
namespace Halvorine {

// The one process-wide lock held for the whole of each link creation.
std::mutex& linkCreateHelperSerializer();

class Link {
  public:
    // Longest name kept; longer names are cut.
    static constexpr size_t kMaxNameLength = 1024;

    explicit Link(const char* name = nullptr);
    Link(linkSpec spec, const char* name);
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- Configuration ---
    aErr getConfig(aNexusConfig* out) const;     // aErrParam for null
    aErr setConfig(aNexusConfig config);         // aErrMode while connected
    aErr getLinkSpecifier(linkSpec* out) const;  // aErrNotFound when none is stored
    aErr setLinkSpecifier(linkSpec spec);        // aErrBusy while connected
    const char* getName() const;

    // --- Connection ---
    // Connects with the stored specifier; aErrConnection when a link id is already held.
    aErr connect();
    // Finds the module (serial number, or the first of `model` for serial number 0), stores its
    // specifier and connects; retries once with the other kind of link when allowed.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Connects with the stored specifier while `other` holds its engine link, so that the engine
    // shares that physical link. aErrInitialization when `other` holds none.
    aErr connectThroughLinkModule(Link& other);
    bool isConnected() const;
    linkStatus getStatus() const;  // kLinkStatusPacketError when no link id is held
    aErr disconnect();
    aErr reset();
    aErr enablePooledPackets(bool enable);

    // --- Module traffic ---
    // The address of the module at the end of the link (magic packet); *address is 0 unless found.
    aErr getModuleAddress(uint8_t* address);
    // Queues one UEI command; the record's option and index go out exactly as they are.
    aErr sendUEI(uei record);
    aErr sendUEI(uei record, uint8_t subindex);
    // Waits for the first reply that the filter (default sUEIFilter) accepts with `record` as its
    // context; the module, command, option and index arguments are not used for matching — the
    // record's own fields are. An error reply gives aErrNone with INDEX_ERROR set in record->index.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record);
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t index, uei* record,
                    aPacketProc filter);
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t index);
    // One packet to `module`: `command` then `length` (at most 27) bytes.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // The first received packet whose first *length data bytes equal `match` (any address); on
    // success *length is its data length and `data` (28 bytes) holds its data.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);

    class impl;

  private:
    std::unique_ptr<impl> m_impl;
};

// The default reply filter: address, data length >= 3, command and the whole option byte equal
// to the record's, index bits 0-4 equal; on acceptance the record takes the error flag and code,
// or the value decoded by data length. `ref` is the uei record.
bool sUEIFilter(const aPacket* packet, void* ref);

}  // namespace Halvorine
}  // namespace Kestrova
