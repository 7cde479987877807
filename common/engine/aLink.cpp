// The link engine: one link's record, its receive and send threads, sync and heartbeat handling,
// and the per-link packet operations. The table that names links by id lives in aLinkTable.cpp;
// this unit reaches a record through aLink_GetRecord.
#include "engine/aLink.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "api/aProtocol.h"

#include "engine/aDebug.h"
#include "engine/aMutex.h"
#include "engine/aThread.h"
#include "engine/aTime.h"

namespace {

constexpr uint32_t kStartPolls = 200;  // polls of 10 ms while a start or a sync settles
constexpr uint32_t kPollMs = 10;
constexpr uint32_t kReadErrorPauseMs = 100;
constexpr uint32_t kSyncSettleMs = 100;  // late answers to magic packets arrive within this
// The send thread sleeps on an empty FIFO in slices of this length, so that a stop whose route
// packet it has already written is noticed soon.
constexpr uint32_t kOutAwaitMs = 100;

// Receive loop pacing. A polling transport (socket, serial) answers "nothing now" at once; rather
// than read again at once, the loop sleeps in the stream's "wait until readable" for at most
// kIdleWaitMs, so a byte is seen as soon as it arrives and a stop request within kIdleWaitMs.
constexpr uint32_t kIdleWaitMs = 20;
// A stream without a wait operation: the loop pauses this long after each empty read.
constexpr uint32_t kNoWaitPauseMs = 1;
// A transport that keeps reporting "readable" while its get yields nothing: the COBS stream
// consumes a frame's encoded bytes that way (up to 33 per packet), a socket whose peer has closed
// does it forever. Past this many in a row the loop paces itself with kStalePauseMs per read.
constexpr uint32_t kStaleWakeLimit = 256;
constexpr uint32_t kStalePauseMs = 10;
// A get that took this long waited inside the transport (USB waits up to 1000 ms for a transfer).
constexpr auto kBlockingGet = std::chrono::milliseconds(10);

constexpr size_t kPoolBytes = 4096;
constexpr size_t kPoolAppendLimit = kPoolBytes - aPACKET_MAXBYTES;  // 4066: a full packet fits

// Packets the link makes itself; the FIFOs copy them, so they can live on the stack.
aPacket sLinkPacket(uint8_t address, uint8_t length, const uint8_t* data) {
    aPacket p;
    std::memset(&p, 0, sizeof p);
    p.check = aPACKET_CHECK;
    p.address = address;
    p.dataSize = length;
    if (length) std::memcpy(p.data, data, length);
    p.curSize = static_cast<uint8_t>(length + aPACKET_HEADERBYTES);
    return p;
}

bool sAll(const aPacket*, void*) {
    return true;
}

// Recording into the packet log happens only once a log has been made for the link.
void sRecordPacket(aLink* link, uint8_t type, const aPacket* packet) {
    if (!link->packetLog) return;
    (void)type;
    (void)packet;
}

aErr sQueueRoute(aLink* link, uint8_t value) {
    aPacket* route = aPacket_CreateWithData(cmdFORCEROUTE, 1, &value);
    if (!route) return aErrMemory;
    aErr err = aPacketFifo_Put(link->outFifo, route);
    aPacket_Destroy(&route);
    return err;
}

// Puts the six magic packets whose answers (A, 0 from the module's address A) bring the byte
// stream back into step.
void sStartSync(aLink* link) {
    link->status = kLinkStatusSyncing;
    link->syncState = kSyncStateStart;
    aPacket_Reset(link->workPacket);
    const aPacket magic = sLinkPacket(cmdMAGIC, 0, nullptr);
    aErr err = aErrNone;
    for (unsigned i = 0; i < aPROTO_SYNC_MAGIC_COUNT; ++i)
        err = aPacketFifo_Put(link->outFifo, &magic);
    if (err == aErrNone) link->syncState = kSyncStateByte1;
}

// The sync recogniser: in step again after two zero-length packets from one even address.
void sSyncByte(aLink* link, uint8_t byte) {
    switch (link->syncState) {
        case kSyncStateByte1:
            if (byte != 0 && (byte & 1) == 0) {
                link->syncAddress = byte;
                link->syncState = kSyncStateByte2;
            } else {
                sStartSync(link);
            }
            break;
        case kSyncStateByte2:
            link->syncState = byte == 0 ? kSyncStateByte3 : kSyncStateStart;
            break;
        case kSyncStateByte3:
            link->syncState = byte == link->syncAddress ? kSyncStateByte4 : kSyncStateStart;
            break;
        case kSyncStateByte4:
            if (byte == 0) {
                link->syncState = kSyncStateIdle;
                link->status = kLinkStatusRunning;
                aDebug_Trace(aDEBUG_LINK, "link %u: in sync with module 0x%02X", link->id,
                             link->syncAddress);
            } else {
                link->syncState = kSyncStateStart;
            }
            break;
        case kSyncStateIdle:
        case kSyncStateStart:
        default:
            sStartSync(link);
            break;
    }
}

// A heartbeat (two data bytes, the first 0) is answered at once with the second byte plus 2 and
// is not queued. True when the packet was a heartbeat.
bool sHandleHBBackChannel(aLink* link) {
    const aPacket* p = link->workPacket;
    if (p->dataSize != aPROTO_HEARTBEAT_LENGTH || p->data[0] != aPROTO_HEARTBEAT_CMD) return false;
    const uint8_t answer[aPROTO_HEARTBEAT_LENGTH] = {
        aPROTO_HEARTBEAT_CMD, static_cast<uint8_t>(p->data[1] + aPROTO_HEARTBEAT_ANSWER_ADD)};
    const aPacket reply = sLinkPacket(p->address, aPROTO_HEARTBEAT_LENGTH, answer);
    aPacketFifo_Put(link->outFifo, &reply);
    return true;
}

// Delivers workPacket once it is complete: user filter, heartbeat rule, then the inbound FIFO.
aErr sHandlePacket(aLink* link) {
    aPacket* p = link->workPacket;
    if (!aPacket_IsComplete(p)) return aErrNone;
    sRecordPacket(link, 2, p);
    bool consumed = false;
    aMutex_Lock(link->userFilterSema);
    if (link->userFilter) consumed = link->userFilter(p, link->userFilterRef);
    aMutex_Unlock(link->userFilterSema);
    aErr err = aErrNone;
    if (!consumed && !sHandleHBBackChannel(link)) err = aPacketFifo_Put(link->inFifo, p);
    aPacket_Reset(p);
    return err;
}

// Sleeps after an empty read until the stream may have a byte; see the pacing constants above.
void sAwaitBytes(aLink* link, uint32_t* staleWakes) {
    aErr err = aStream_WaitReadable(link->stream, kIdleWaitMs);
    if (err == aErrTimeout) {
        *staleWakes = 0;
        return;
    }
    if (err == aErrNone) {
        if (*staleWakes < kStaleWakeLimit) {
            ++*staleWakes;
            return;
        }
        aTime_MSSleep(kStalePauseMs);
        return;
    }
    aTime_MSSleep(err == aErrUnimplemented ? kNoWaitPauseMs : kStalePauseMs);
}

// While the link is out of step, an empty read restarts the handshake. Whether a "nothing now"
// from the stream is an empty read: a COBS stream answers so for each encoded byte it takes while
// a frame is still arriving, which is progress, and restarting there would drop every answer that
// spans more than one frame. Nor is the gap between two answers of one burst silence: each answer
// comes in a frame of its own, and restarting between them would reset the recogniser after every
// answer and send six more magic packets each time, which a busy machine turns into a flood. So
// the module counts as silent when the get itself waited (USB), or when nothing more arrives
// within kIdleWaitMs; `pending` bounds a run of "readable but nothing" from a stream that never
// delivers.
bool sModuleSilent(aLink* link, std::chrono::steady_clock::time_point readStart,
                   uint32_t* pending) {
    if (std::chrono::steady_clock::now() - readStart >= kBlockingGet ||
        *pending >= kStaleWakeLimit ||
        aStream_WaitReadable(link->stream, kIdleWaitMs) != aErrNone) {
        *pending = 0;
        return true;
    }
    ++*pending;
    return false;
}

void* sInPipeProcess(void* argument) {
    aLink* link = static_cast<aLink*>(argument);
    link->inReady = 1;
    link->status = kLinkStatusRunning;
    link->syncState = kSyncStateIdle;
    uint32_t staleWakes = 0;
    uint32_t pending = 0;
    while (link->running) {
        uint32_t status = link->status;
        const bool outOfStep = status == kLinkStatusSyncing || status == kLinkStatusIOError;
        const auto readStart =
            outOfStep ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
        uint8_t byte = 0;
        aErr err = aStream_Read(link->stream, &byte, 1);
        if (err == aErrNotReady) {
            status = link->status;
            if (status == kLinkStatusSyncing || status == kLinkStatusIOError) {
                // A handshake asked for (aLink_Sync, a failed read) but not begun starts at this
                // empty read; one under way restarts only when the module has gone silent.
                const bool begun = link->syncState != kSyncStateIdle;
                if (outOfStep && begun && !sModuleSilent(link, readStart, &pending)) continue;
                sStartSync(link);
            }
            sAwaitBytes(link, &staleWakes);
            continue;
        }
        staleWakes = 0;
        pending = 0;
        if (err != aErrNone) {
            if (link->status != kLinkStatusIOError)
                aDebug_Trace(aDEBUG_LINK, "link %u: read failed (%s)", link->id,
                             aError_GetErrorText(err));
            link->status = kLinkStatusIOError;
            aTime_MSSleep(kReadErrorPauseMs);
            continue;
        }
        if (link->status == kLinkStatusSyncing) {
            sSyncByte(link, byte);
            continue;
        }
        err = aPacket_AddByte(link->workPacket, byte);
        if (err != aErrNone || (link->workPacket->address & 1) != 0) {
            aDebug_Trace(aDEBUG_LINK, "link %u: out of step at byte 0x%02X, resyncing", link->id,
                         byte);
            sStartSync(link);
        } else if (sHandlePacket(link) != aErrNone) {
            link->status = kLinkStatusPacketError;
        }
    }
    return nullptr;
}

void sWritePacket(aLink* link, aPacket* packet) {
    uint8_t bytes[aPACKET_MAXBYTES];
    size_t count = 0;
    if (aPacket_GetBytes(packet, bytes, sizeof bytes, &count) == aErrNone) {
        aStream_Write(link->stream, bytes, count);
        sRecordPacket(link, 1, packet);
    }
}

// Pooled sending: the first packet and as many more as are queued now, in one write.
void sWritePool(aLink* link, aPacket* first, uint8_t* pool) {
    std::memset(pool, 0, kPoolBytes);
    size_t total = 0;
    size_t count = 0;
    aPacket_GetBytes(first, pool, kPoolBytes, &total);
    while (total <= kPoolAppendLimit) {
        aPacket* next = aPacketFifo_Get(link->outFifo);
        if (!next) break;
        if (aPacket_GetBytes(next, pool + total, kPoolBytes - total, &count) == aErrNone)
            total += count;
        aPacket_Destroy(&next);
    }
    if (total) aStream_Write(link->stream, pool, total);
    sRecordPacket(link, 1, first);
}

void* sOutPipeProcess(void* argument) {
    aLink* link = static_cast<aLink*>(argument);
    uint8_t pool[kPoolBytes];
    link->outReady = 1;
    while (link->running) {
        aPacket* packet = aPacketFifo_Await(link->outFifo, kOutAwaitMs);
        if (!packet) continue;
        if (link->pooled)
            sWritePool(link, packet, pool);
        else
            sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    // What is still queued (the route packet of aLink_Stop among it) goes out one write each.
    while (aPacket* packet = aPacketFifo_Get(link->outFifo)) {
        sWritePacket(link, packet);
        aPacket_Destroy(&packet);
    }
    return nullptr;
}

aLink* sValidLink(uint32_t linkId) {
    aLink* link = aLink_GetRecord(linkId);
    return aVALIDLINK(link) ? link : nullptr;
}

// Clears `running` and joins both threads; 0 or the first join error.
int sJoinThreads(aLink* link) {
    link->running = 0;
    // A receive thread waiting inside the transport (USB) notices the stop at once.
    if (link->inThread) aStream_Wake(link->stream);
    int rc = 0;
    if (link->inThread) rc = aThread_Destroy(&link->inThread);
    if (link->outThread) {
        int out = aThread_Destroy(&link->outThread);
        if (rc == 0) rc = out;
    }
    link->inReady = 0;
    link->outReady = 0;
    return rc;
}

}  // namespace

uint32_t aLink_Init(uint32_t linkId, aStream* stream) {
    aLink* link = aLink_GetRecord(linkId);
    if (!link || link->inThread || link->outThread) {
        // No record, or one whose threads still run on its stream.
        aStream_Destroy(&stream);
        return 0;
    }
    // A record initialised before (a reset) gives back what it held.
    if (link->stream == stream) link->stream = nullptr;
    aLink_ReleaseParts(link);
    link->check = 0;
    link->id = linkId;
    link->running = 0;
    link->stream = stream;
    link->status = stream ? kLinkStatusStopped : kLinkStatusNoStream;
    link->inThread = nullptr;
    link->outThread = nullptr;
    link->inFifo = aPacketFifo_Create();
    link->outFifo = aPacketFifo_Create();
    link->inProcess = sInPipeProcess;
    link->outProcess = sOutPipeProcess;
    link->inReady = 0;
    link->outReady = 0;
    link->workPacket = aPacket_Create();
    link->syncState = kSyncStateIdle;
    link->syncAddress = 0;
    link->packetLog = nullptr;
    link->logSize = 0;
    link->logSema = nullptr;
    link->pooled = 0;
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    char name[64];
    std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
    link->userFilterSema = aMutex_Create(name);
    if (!link->inFifo || !link->outFifo || !link->workPacket || !link->userFilterSema) {
        aDebug_Trace(aDEBUG_LINK, "link %u: cannot initialise the record", linkId);
        aLink_ReleaseParts(link);
        return 0;
    }
    link->check = aLINK_CHECK;
    return linkId;
}

void aLink_ReleaseParts(aLink* link) {
    if (!link) return;
    if (link->inFifo) aPacketFifo_Destroy(&link->inFifo);
    if (link->outFifo) aPacketFifo_Destroy(&link->outFifo);
    if (link->workPacket) aPacket_Destroy(&link->workPacket);
    // Packet logs are not made by this engine yet, so there is none to release; its lock is.
    link->packetLog = nullptr;
    if (link->logSema) aMutex_Destroy(&link->logSema);
    if (link->userFilterSema) aMutex_Destroy(&link->userFilterSema);
    link->userFilter = nullptr;
    link->userFilterRef = nullptr;
    if (link->stream) aStream_Destroy(&link->stream);
}

aErr aLink_Start(uint32_t linkId) {
    aLink* link = sValidLink(linkId);
    if (!link || !link->stream) return aErrParam;
    if (link->running) return aErrNone;
    link->running = 1;
    link->status = kLinkStatusStarting;
    link->inReady = 0;
    link->outReady = 0;
    link->inThread = aThread_Create(link->inProcess, link);
    if (link->inThread) link->outThread = aThread_Create(link->outProcess, link);
    if (!link->inThread || !link->outThread) {
        aDebug_Trace(aDEBUG_LINK, "link %u: cannot start its threads", linkId);
        sJoinThreads(link);
        link->status = kLinkStatusStopped;
        return aErrResource;
    }
    bool started = false;
    for (uint32_t i = 0; i < kStartPolls; ++i) {
        if (link->inReady && link->outReady && link->status == kLinkStatusRunning) {
            started = true;
            break;
        }
        aTime_MSSleep(kPollMs);
    }
    if (!started) return aErrIndexRange;
    return sQueueRoute(link, aPROTO_ROUTE_ON);
}

aErr aLink_Stop(aLink* link) {
    if (!aVALIDLINK(link)) return aErrParam;
    uint32_t status = link->status;
    if (status == kLinkStatusStopping || status == kLinkStatusStopped) return aErrNone;
    link->status = kLinkStatusStopping;
    aErr result = aErrNone;
    if (link->inThread || link->outThread) {
        if (link->outThread) result = sQueueRoute(link, aPROTO_ROUTE_OFF);
        if (sJoinThreads(link) != 0) result = aErrUnknown;
        aPacket_Reset(link->workPacket);
    }
    link->status = kLinkStatusStopped;
    return result;
}

aErr aLink_Sync(uint32_t linkId) {
    aLink* link = sValidLink(linkId);
    if (!link) return aErrParam;
    link->status = kLinkStatusSyncing;
    // The receive thread starts the handshake on its next empty read; one waiting inside the
    // transport (a USB IN transfer waits up to 1000 ms) is woken so that it comes at once.
    if (link->inThread) aStream_Wake(link->stream);
    aErr result = aErrNotReady;
    for (uint32_t i = 0; i < kStartPolls; ++i) {
        aTime_MSSleep(kPollMs);
        if (link->status == kLinkStatusRunning) {
            result = aErrNone;
            break;
        }
    }
    aPacketFifo_DrainPackets(link->outFifo, sAll, nullptr);
    aTime_MSSleep(kSyncSettleMs);
    aPacketFifo_DrainPackets(link->inFifo, sAll, nullptr);
    return result;
}

aErr aLink_ForceRoute(uint32_t linkId, uint8_t value) {
    aLink* link = aLink_GetRecord(linkId);
    if (!link) return aErrNotFound;
    if (!aVALIDLINK(link)) return aErrParam;
    return sQueueRoute(link, value);
}

linkStatus aLink_GetStatus(uint32_t linkId) {
    aLink* link = sValidLink(linkId);
    return link ? static_cast<linkStatus>(link->status.load()) : kLinkStatusNoStream;
}

aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet) {
    aLink* link = sValidLink(linkId);
    if (!link) return aErrParam;
    return aPacketFifo_Put(link->outFifo, packet);
}

aErr aLink_PutPackets(uint32_t linkId, const aPacket* const* packets, size_t count) {
    aLink* link = sValidLink(linkId);
    if (!link) return aErrParam;
    return aPacketFifo_PutRun(link->outFifo, packets, count);
}

aPacket* aLink_GetPacket(uint32_t linkId) {
    aLink* link = sValidLink(linkId);
    return link ? aPacketFifo_Get(link->inFifo) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t msTimeout) {
    aLink* link = sValidLink(linkId);
    return link ? aPacketFifo_Await(link->inFifo, msTimeout) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkId, aPacketProc proc, void* ref) {
    aLink* link = sValidLink(linkId);
    return link ? aPacketFifo_GetFirst(link->inFifo, proc, ref) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketProc proc, void* ref, uint32_t msTimeout) {
    aLink* link = sValidLink(linkId);
    if (!link) return nullptr;
    const uint64_t start = aTime_GetMSTicks();
    const uint64_t end = start + msTimeout;
    aPacket* packet = nullptr;
    while (!packet && link->running && link->status == kLinkStatusRunning) {
        uint64_t now = aTime_GetMSTicks();
        if (now >= end) break;
        // A clock stepped backwards must not stretch the wait beyond the caller's limit.
        uint64_t remaining = now < start ? msTimeout : end - now;
        packet = aPacketFifo_AwaitFirst(link->inFifo, proc, ref, static_cast<uint32_t>(remaining));
    }
    return packet;
}

uint32_t aLink_DrainPackets(uint32_t linkId, aPacketProc proc, void* ref) {
    aLink* link = sValidLink(linkId);
    return link ? static_cast<uint32_t>(aPacketFifo_DrainPackets(link->inFifo, proc, ref)) : 0;
}

aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketProc proc, void* ref) {
    aLink* link = sValidLink(linkId);
    if (!link) return aErrParam;
    aMutex_Lock(link->userFilterSema);
    link->userFilter = proc;
    link->userFilterRef = proc ? ref : nullptr;
    aMutex_Unlock(link->userFilterSema);
    return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable) {
    aLink* link = sValidLink(linkId);
    if (!link) return aErrParam;
    link->pooled = enable ? 1 : 0;
    return aErrNone;
}
