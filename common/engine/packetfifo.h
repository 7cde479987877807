// packetfifo: process-wide, numbered, thread-safe queues of packets with timed and filtered waits.
//
// Each link owns two FIFOs (received packets, packets to send). A FIFO is named by a 64-bit id
// (never 0) handed out by aPacketFifo_Create and retired by aPacketFifo_Destroy; an id that names
// no FIFO is answered as stated per operation. The FIFO keeps its own copies: Put copies the
// caller's packet, and every packet handed out is a fresh copy that the receiver owns and destroys
// with aPacket_Destroy. Any thread may call any operation; waits sleep on a condition variable
// with deadlines on the monotonic clock, and a FIFO destroyed while a thread waits on it wakes
// that thread, which then returns null. No exception leaves this API.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"
#include "engine/aPacket.h"

typedef uint64_t aPacketFifoId;

// The longest a queue may grow: the put that would make it longer empties it instead.
constexpr size_t kPacketFifoLimit = 1000;

// A caller's packet predicate: true when `packet` is the one wanted. It runs in the calling thread
// under the FIFO's lock, so it must be quick and must not call back into the same FIFO.
typedef bool (*aPacketProc)(const aPacket* packet, void* ref);

// A new empty FIFO; 0 when it cannot be made.
aPacketFifoId aPacketFifo_Create();

// Retires the FIFO: its queued packets are destroyed, waiters wake and return null, and `*id`
// becomes 0. aErrParam for a null pointer, aErrNotFound for an id that names no FIFO.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// The number of queued packets; 0 for an unknown id.
size_t aPacketFifo_GetLength(aPacketFifoId id);

// Queues a copy of `packet` and wakes the waiters. aErrParam for an unknown id or an invalid
// packet, aErrResource when memory is short. When the queue would grow past kPacketFifoLimit it
// is emptied (the new packet included) and the result is still aErrNone.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// Queues copies of `count` packets in order, as one run: a taker sees either none of them or the
// first with the rest right behind it, and the waiters are woken once. Otherwise as
// aPacketFifo_Put for each packet; an invalid packet refuses the whole run (aErrParam, nothing
// queued).
aErr aPacketFifo_PutRun(aPacketFifoId id, const aPacket* const* packets, size_t count);

// Takes the oldest packet; null when the FIFO is empty or unknown.
aPacket* aPacketFifo_Get(aPacketFifoId id);

// Waits up to `msTimeout` for a packet and takes the oldest; null on time-out, for an unknown id,
// or when the FIFO is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint32_t msTimeout);

// Takes the oldest packet for which proc(packet, ref) is true; null when none matches.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketProc proc, void* ref);

// Waits up to `msTimeout` for a packet for which proc(packet, ref) is true and takes it. Each
// packet is shown to `proc` at most once per call: those queued at the start, then each one as it
// arrives. Null on time-out, for an unknown id, or when the FIFO is destroyed meanwhile.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketProc proc, void* ref, uint32_t msTimeout);

// Destroys every queued packet for which proc(packet, ref) is true and keeps the others in order;
// returns how many were removed (0 for an unknown id).
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketProc proc, void* ref);
