// aLink: the link engine and the process-wide link table.
//
// A link is one conversation with one module over one aStream. Its receive thread reads the
// stream a byte at a time, keeps the two ends in step (sync handshake), answers the module's
// heartbeats, offers each packet to an optional user filter and queues the rest in the link's
// inbound FIFO; its send thread writes the packets of the outbound FIFO to the stream, one packet
// per write or pooled into runs of up to 4096 bytes.
//
// Links are named by small integer ids from the link table (1 upwards, never reused; 0 means
// none). The table owns each link record, its FIFOs and its stream; holders share a link through
// a use count and the last aLink_Destroy tears it down. Packets handed out belong to the caller.
//
// Threads: any thread may put packets, wait for packets, install a filter or read the status.
// Creation, start, stop, reset and destruction of one link are not guarded against each other;
// callers serialise them (the link facade does). The table lock is held only inside the table's
// own primitives, never while a link is started, stopped or waited on. Lock order: a link's
// user-filter lock before any lock the filter takes.
#pragma once

#include <atomic>
#include <cstdint>

#include "api/aError.h"
#include "engine/aPacket.h"
#include "engine/packetfifo.h"
#include "transport/aStream.h"

struct aMutex;
struct aThread;
struct aPacketLog;

typedef enum : uint32_t {
    kLinkStatusStopped = 0,      // initialised with a stream, threads not running
    kLinkStatusStarting = 1,     // aLink_Start is starting the threads
    kLinkStatusRunning = 2,      // packets flow; the only status in which aLink_AwaitFirst waits
    kLinkStatusStopping = 3,     // aLink_Stop is stopping the threads
    kLinkStatusSyncing = 4,      // the sync handshake is in progress
    kLinkStatusNoStream = 5,     // initialised without a stream; also the answer for unknown ids
    kLinkStatusIOError = 6,      // the last stream read failed
    kLinkStatusPacketError = 8,  // a received packet could not be queued
} linkStatus;

// States of the sync recogniser, which looks for the module's two answers A, 0, A, 0.
enum : uint32_t {
    kSyncStateIdle = 0,
    kSyncStateStart = 1,
    kSyncStateByte1 = 2,
    kSyncStateByte2 = 3,
    kSyncStateByte3 = 4,
    kSyncStateByte4 = 5,
};

constexpr uint16_t aLINK_CHECK = 0xCEED;  // validity word of a live link record

typedef void* (*aLinkThreadBody)(void* link);

// The link record. The receive thread alone uses workPacket, the sync fields and reads the
// stream; the send thread alone writes the stream. The flags and the status are shared without a
// lock and therefore atomic.
struct aLink {
    uint16_t check;                 // aLINK_CHECK while the record is initialised
    uint32_t id;                    // the link's id in the table
    std::atomic<uint8_t> running;   // the threads loop while it is set
    std::atomic<uint32_t> status;   // a linkStatus
    uint64_t inFifo;                // received packets for callers
    aPacket* workPacket;            // the packet being assembled from received bytes
    uint64_t outFifo;               // packets waiting to be written
    aThread* inThread;              // receive thread, null when not running
    aThread* outThread;             // send thread, null when not running
    aLinkThreadBody inProcess;      // body of the receive thread
    aLinkThreadBody outProcess;     // body of the send thread
    std::atomic<uint8_t> inReady;   // set by the receive thread when it has started
    std::atomic<uint8_t> outReady;  // set by the send thread when it has started
    aStream* stream;                // the transport; owned by the link
    uint32_t syncState;             // sync recogniser state (receive thread only)
    uint8_t syncAddress;            // module address seen in the sync answer
    aPacketLog* packetLog;          // traffic record, null when none
    int32_t logSize;                // capacity for a new packet log, 0 for the default
    aMutex* logSema;                // lock of the packet log, made with the log
    aPacketProc userFilter;         // user packet filter, or null
    void* userFilterRef;            // reference handed to the user filter
    aMutex* userFilterSema;         // guards userFilter and userFilterRef
    std::atomic<uint8_t> pooled;    // pooled sending on
};

// True for a non-null record that carries the validity word.
inline bool aVALIDLINK(const aLink* link) {
    return link != nullptr && link->check == aLINK_CHECK;
}

// --- One link ---------------------------------------------------------------------------------

// Initialises the record of an existing table entry: new FIFOs and work packet, no threads, status
// kLinkStatusStopped with a stream or kLinkStatusNoStream without; a record initialised before
// first releases what it held. The link owns the stream from here on (also when this fails).
// Returns the id, or 0 when the id has no entry or record, its threads run, or a part cannot be
// made.
uint32_t aLink_Init(uint32_t linkId, aStream* stream);

// Starts the receive and send threads, waits up to about 2 s for both to run (aErrIndexRange
// otherwise) and queues the route packet 0xAF 0x01. aErrParam for an unknown id or a link without
// a stream; aErrResource when a thread cannot be made (nothing is left running then).
aErr aLink_Start(uint32_t linkId);

// Queues the route packet 0xAF 0x00, stops and joins both threads; the send thread writes every
// packet still queued before it ends. aErrParam for a null record.
aErr aLink_Stop(aLink* link);

// Forces a sync handshake and waits up to about 2 s for it (aErrNotReady when it does not
// complete), then empties the outbound FIFO, waits 100 ms and empties the inbound FIFO.
aErr aLink_Sync(uint32_t linkId);

// Queues a route packet (address 0xAF, one data byte `value`). aErrNotFound for an unknown id,
// aErrParam for an entry without a record, aErrMemory when the packet cannot be made.
aErr aLink_ForceRoute(uint32_t linkId, uint8_t value);

// The link's status; kLinkStatusNoStream for an unknown id.
linkStatus aLink_GetStatus(uint32_t linkId);

// Queues a copy of `packet` for sending; the caller keeps its packet. aErrParam for an unknown id.
aErr aLink_PutPacket(uint32_t linkId, const aPacket* packet);
// Queues copies of `count` packets as one run (see aPacketFifo_PutRun): the send thread never
// takes the first alone while the others are still being queued, so a pooled link writes them
// together. aErrParam for an unknown id.
aErr aLink_PutPackets(uint32_t linkId, const aPacket* const* packets, size_t count);

// Received packets: take the oldest, wait up to `msTimeout` for any, take the oldest matching,
// or wait for a matching one while the link is running (null at once when it is not). Null when
// nothing came or the id is unknown; a packet returned belongs to the caller.
aPacket* aLink_GetPacket(uint32_t linkId);
aPacket* aLink_AwaitPacket(uint32_t linkId, uint32_t msTimeout);
aPacket* aLink_GetFirst(uint32_t linkId, aPacketProc proc, void* ref);
aPacket* aLink_AwaitFirst(uint32_t linkId, aPacketProc proc, void* ref, uint32_t msTimeout);

// Removes every received packet that `proc` matches; the number removed, 0 for an unknown id.
uint32_t aLink_DrainPackets(uint32_t linkId, aPacketProc proc, void* ref);

// Installs (or with a null proc removes) the filter that sees every completed packet on the
// receive thread before it is queued; a filter returning true consumes the packet. When this
// returns, the previous filter is no longer running. aErrParam for an unknown id.
aErr aLink_InstallUserPacketFilter(uint32_t linkId, aPacketProc proc, void* ref);

// Turns pooled sending on or off. aErrParam for an unknown id.
aErr aLink_EnablePooledPackets(uint32_t linkId, bool enable);

// The record of a link id (initialised or not), or null. It stays until the link is destroyed.
aLink* aLink_GetRecord(uint32_t linkId);

// For the link table: releases the record's FIFOs, work packet, packet log, locks and stream
// (whichever exist) and nulls them. The threads must not be running.
void aLink_ReleaseParts(aLink* link);

// --- The link table ---------------------------------------------------------------------------

// Entry types of the link table.
enum : uint32_t {
    kLinkEntryStream = 0,  // aLink_Create over a given stream
    kLinkEntryUSB = 1,
    kLinkEntryTCPIP = 2,
    kLinkEntrySerial = 3,
    kLinkEntryClient = 4,  // client of a link sharing server
};

struct aServer;

// One entry of the link table; the table lock guards the list and every use count.
struct linkEntry {
    uint32_t id;            // the link id
    uint32_t underlyingId;  // for a client link standing for a shared device link: that link's id
    aServer* server;        // link sharing server attached to this device link, or null
    uint32_t ident0;        // serial number (0xFFFFFFFF for a plain stream; address for clients)
    uint32_t ident1;        // IPv4 address (TCP/IP); port (clients)
    uint32_t ident2;        // TCP port (TCP/IP); client number (clients)
    uint32_t type;          // entry type, above
    int16_t use_count;      // number of holders
    aLink* link;            // the link record
    linkEntry* next;        // next (older) entry
};

// Creation returns the new or reused link id, 0 on failure; nothing half-made is left behind.
// USB and TCP/IP links for a serial number already in the table are shared (use count up); a USB
// or TCP/IP device link with a sharing server attached is refused (0).
uint32_t aLink_CreateUSB(uint32_t serialNumber);
// `address` is an IPv4 address in network byte order.
uint32_t aLink_CreateTCPIP(uint32_t serialNumber, uint32_t address, uint16_t port);
// Baud rates 2400, 4800, 9600, 19200, 38400, 57600, 115200 and 230400; the port carries COBS
// frames.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portPath, uint32_t baudRate);
// A link over a stream the caller made; the link owns the stream from then on, also on failure.
uint32_t aLink_Create(aStream* stream);

// Drops one holder; the last one stops the link and releases everything. The caller's id becomes
// 0 in every case. aErrParam for an unknown id.
aErr aLink_Destroy(uint32_t* linkId);

// Restarts a USB, TCP/IP or client link on a fresh stream (up to 20 attempts 100 ms apart); the
// link is stopped and stays so when no stream can be made. aErrParam for an unknown id.
aErr aLink_Reset(uint32_t linkId);
