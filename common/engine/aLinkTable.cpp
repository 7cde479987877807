// The process-wide link table: entries named by id, shared through use counts, and the creation,
// destruction and reset of device links over USB, TCP/IP, serial ports or a caller's stream.
//
// The table lock guards the list, the next id and every use count. It is held only inside the
// primitives below (which expect it held) and their short callers, never while a link is started,
// stopped, synced or waited on.
#include <new>

#include "engine/aDebug.h"
#include "engine/aLink.h"
#include "engine/aMutex.h"
#include "engine/aTime.h"
#include "transport/aStreamSerial.h"
#include "transport/aStreamSocket.h"
#include "transport/aStreamUSB.h"

namespace {

constexpr uint32_t kStreamIdent = 0xFFFFFFFF;
constexpr int kResetAttempts = 20;
constexpr uint32_t kResetPauseMs = 100;

struct aLinkTable {
    linkEntry* head;  // newest entry first
    uint32_t nextId;  // next id to hand out; ids are never reused
    aMutex* lock;     // "aLink_Managed"
};

// The table, made (with its lock) on first use, before any table operation runs.
aLinkTable& _links() {
    static aLinkTable table{nullptr, 1, aMutex_Create("aLink_Managed")};
    return table;
}

class TableLock {
  public:
    TableLock() { aMutex_Lock(_links().lock); }
    ~TableLock() { aMutex_Unlock(_links().lock); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// --- Primitives: the caller holds the table lock. ---

uint32_t sCreate2(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    linkEntry* entry = new (std::nothrow) linkEntry{};
    aLink* link = new (std::nothrow) aLink{};
    if (!entry || !link) {
        delete entry;
        delete link;
        return 0;
    }
    aLinkTable& table = _links();
    if (table.nextId == 0) table.nextId = 1;  // 0 never names a link
    entry->id = table.nextId++;
    entry->ident0 = ident0;
    entry->ident1 = ident1;
    entry->ident2 = ident2;
    entry->type = type;
    entry->link = link;
    link->id = entry->id;
    entry->next = table.head;
    table.head = entry;
    return entry->id;
}

uint32_t sCreate(uint32_t ident0, uint32_t ident1, uint32_t type) {
    return sCreate2(ident0, ident1, 0, type);
}

linkEntry* sLookupEntryByID(uint32_t id) {
    for (linkEntry* e = _links().head; e; e = e->next)
        if (e->id == id) return e;
    return nullptr;
}

linkEntry* sLookupEntryByIdentifier(uint32_t ident0, uint32_t type) {
    for (linkEntry* e = _links().head; e; e = e->next)
        if (e->ident0 == ident0 && e->type == type) return e;
    return nullptr;
}

[[maybe_unused]] linkEntry* sLookupEntryByTrident(uint32_t ident0, uint32_t ident1,
                                                  uint32_t ident2) {
    for (linkEntry* e = _links().head; e; e = e->next)
        if (e->ident0 == ident0 && e->ident1 == ident1 && e->ident2 == ident2) return e;
    return nullptr;
}

linkEntry* sExtractEntry(uint32_t id) {
    for (linkEntry** at = &_links().head; *at; at = &(*at)->next) {
        if ((*at)->id == id) {
            linkEntry* e = *at;
            *at = e->next;
            e->next = nullptr;
            return e;
        }
    }
    return nullptr;
}

int16_t sChangeUseCount(linkEntry* entry, int16_t delta) {
    entry->use_count = static_cast<int16_t>(entry->use_count + delta);
    return entry->use_count;
}

aLink* sGetLink(uint32_t id) {
    linkEntry* e = sLookupEntryByID(id);
    return e ? e->link : nullptr;
}

// --- Helpers that take the lock themselves. ---

uint32_t sNewEntry(uint32_t ident0, uint32_t ident1, uint32_t type) {
    TableLock lock;
    return sCreate(ident0, ident1, type);
}

uint32_t sNewEntry(uint32_t ident0, uint32_t ident1, uint32_t ident2, uint32_t type) {
    TableLock lock;
    return sCreate2(ident0, ident1, ident2, type);
}

void sRaiseUseCount(uint32_t id) {
    TableLock lock;
    if (linkEntry* e = sLookupEntryByID(id)) sChangeUseCount(e, 1);
}

// Removes an entry whose link was never initialised.
void sDiscardEntry(uint32_t id) {
    linkEntry* e;
    {
        TableLock lock;
        e = sExtractEntry(id);
    }
    if (!e) return;
    delete e->link;
    delete e;
}

// Steps shared by the device links once their stream is made (or failed): initialise, count the
// holder, start and (USB only) sync; on any error the new link is destroyed and 0 returned.
uint32_t sFinishDeviceLink(uint32_t id, aStream* stream, aErr err, bool sync) {
    if (aLink_Init(id, stream) != id && err == aErrNone) err = aErrConnection;
    if (err == aErrNone && stream) {
        sRaiseUseCount(id);
        err = aLink_Start(id);
        if (err == aErrNone && sync) err = aLink_Sync(id);
    }
    if (err != aErrNone) {
        aDebug_Trace(aDEBUG_LINK, "link %u: cannot be made (%s)", id, aError_GetErrorText(err));
        aLink_Destroy(&id);
        return 0;
    }
    return id;
}

// An existing device link for the serial number gets one more holder; 0 when there is none, or
// when `refuseShared` and a sharing server is attached (then *refused is set).
uint32_t sReuse(uint32_t serialNumber, uint32_t type, bool refuseShared, bool* refused) {
    TableLock lock;
    linkEntry* e = sLookupEntryByIdentifier(serialNumber, type);
    if (!e) return 0;
    if (refuseShared && e->server) {
        *refused = true;
        return 0;
    }
    sChangeUseCount(e, 1);
    return e->id;
}

int32_t sBaudIndex(uint32_t baudRate) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int32_t i = 0; i < static_cast<int32_t>(sizeof kRates / sizeof kRates[0]); ++i)
        if (kRates[i] == baudRate) return i;
    return -1;
}

}  // namespace

aLink* aLink_GetRecord(uint32_t linkId) {
    if (linkId == 0) return nullptr;
    TableLock lock;
    return sGetLink(linkId);
}

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    bool refused = false;
    if (uint32_t id = sReuse(serialNumber, kLinkEntryUSB, true, &refused)) return id;
    if (refused) return 0;
    uint32_t id = sNewEntry(serialNumber, 0, kLinkEntryUSB);
    if (!id) return 0;
    aStream* stream = nullptr;
    aErr err = aStream_CreateUSB(serialNumber, &stream);
    return sFinishDeviceLink(id, stream, err, true);
}

uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port) {
    bool refused = false;
    if (uint32_t id = sReuse(serialNumber, kLinkEntryTCPIP, true, &refused)) return id;
    if (refused) return 0;
    uint32_t id = sNewEntry(serialNumber, address, port, kLinkEntryTCPIP);
    if (!id) return 0;
    aStream* stream = nullptr;
    aErr err = aStream_CreateSocket(address, port, &stream);
    return sFinishDeviceLink(id, stream, err, false);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate) {
    bool refused = false;
    if (uint32_t id = sReuse(serialNumber, kLinkEntrySerial, false, &refused)) return id;
    uint32_t id = sNewEntry(serialNumber, 0, kLinkEntrySerial);
    if (!id) return 0;
    int32_t speed = sBaudIndex(baudRate);
    if (speed < 0) {
        aDebug_Trace(aDEBUG_LINK, "link %u: unsupported baud rate %u", id, baudRate);
        sDiscardEntry(id);
        return 0;
    }
    aStream* stream = nullptr;
    aErr err = aStream_CreateSerial_Packetized(portPath, speed, false, 0, 0, &stream);
    return sFinishDeviceLink(id, stream, err, false);
}

uint32_t aLink_Create(aStream* stream) {
    uint32_t id = sNewEntry(kStreamIdent, 0, kLinkEntryStream);
    if (!id) {
        aStream_Destroy(&stream);
        return 0;
    }
    if (aLink_Init(id, stream) != id || aLink_Start(id) != aErrNone) {
        aLink_Destroy(&id);
        return 0;
    }
    sRaiseUseCount(id);
    return id;
}

aErr aLink_Destroy(uint32_t* linkId) {
    if (!linkId) return aErrParam;
    const uint32_t id = *linkId;
    *linkId = 0;
    linkEntry* entry;
    {
        // The last holder takes the entry out in the same hold of the lock, so that no creation
        // can pick up a link that is about to go.
        TableLock lock;
        entry = sLookupEntryByID(id);
        if (!entry) return aErrParam;
        if (sChangeUseCount(entry, -1) > 0) return aErrNone;
        sExtractEntry(id);
    }
    aLink* link = entry->link;
    if (!link) {
        delete entry;
        return aErrUnknown;
    }
    if (aVALIDLINK(link)) {
        // No filter runs any more once the lock has been taken and released here.
        aMutex_Lock(link->userFilterSema);
        link->userFilter = nullptr;
        link->userFilterRef = nullptr;
        aMutex_Unlock(link->userFilterSema);
        aLink_Stop(link);
    }
    // A sharing server attached to this link (entry->server) and the device link under a client
    // link (entry->underlyingId) belong to the link sharing layer, which releases them.
    aLink_ReleaseParts(link);
    link->check = 0;
    delete link;
    delete entry;
    return aErrNone;
}

aErr aLink_Reset(uint32_t linkId) {
    uint32_t type;
    uint32_t ident0, ident1, ident2;
    aLink* link;
    {
        TableLock lock;
        linkEntry* e = sLookupEntryByID(linkId);
        if (!e || !e->link) return aErrParam;
        link = e->link;
        type = e->type;
        ident0 = e->ident0;
        ident1 = e->ident1;
        ident2 = e->ident2;
    }
    if (!aVALIDLINK(link)) return aErrParam;
    aLink_Stop(link);
    aPacketFifo_Destroy(&link->inFifo);
    aPacketFifo_Destroy(&link->outFifo);
    aStream_Destroy(&link->stream);

    aStream* stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 0; attempt < kResetAttempts; ++attempt) {
        switch (type) {
            case kLinkEntryUSB:
                err = aStream_CreateUSB(ident0, &stream);
                break;
            case kLinkEntryTCPIP:
                err = aStream_CreateSocket(ident1, static_cast<uint16_t>(ident2), &stream);
                break;
            default:
                // Serial and plain-stream links cannot be reopened from their entry; client links
                // are reopened by the link sharing layer.
                err = aErrParam;
                break;
        }
        if (err == aErrNone && stream) break;
        aTime_MSSleep(kResetPauseMs);
    }
    if (err != aErrNone || !stream) {
        aDebug_Trace(aDEBUG_LINK, "link %u: reset failed (%s)", linkId, aError_GetErrorText(err));
        return err != aErrNone ? err : aErrConnection;
    }
    if (aLink_Init(linkId, stream) != linkId) return aErrConnection;
    return aLink_Start(linkId);
}
