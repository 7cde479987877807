// aStream: the library's byte pipe.
//
// A stream is four operations supplied by the transport that creates it (get one byte, put one
// byte, write a run, delete the transport) plus a reference value handed back to them, and an
// optional fifth, "wait until readable". The framework adds a push-back store so that a
// multi-byte read that runs short can be undone without losing the bytes already taken.
//
// Ownership: the stream owns its ref; aStream_Destroy calls the delete operation with it.
// Threads: a stream is not locked. One thread may read (get, aStream_Read*, aStream_WaitReadable,
// the push-back store) while one other thread writes (put, write, aStream_Write*); every transport
// tolerates that pair. Any other sharing needs the caller's own lock.
//
// Result codes of the transport operations: aErrNone one byte (or the whole run) moved;
// aErrNotReady nothing available now (a poll that found nothing, not an error); aErrEOF end of
// data; anything else a failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* ref);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* ref);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t count, void* ref);
typedef aErr (*aStreamDeleteProc)(void* ref);

// Optional "wait until readable": blocks for at most `milliseconds` until a get is likely to find
// a byte. aErrNone when the transport is readable (or the wait ended early for another reason
// worth a get, such as a hang-up or an error the next get will report); aErrTimeout when the time
// passed with nothing to read; any other code a failure of the transport. A transport whose get
// already blocks for a bounded time (USB, whose IN transfer waits up to 1000 ms) answers aErrNone
// at once. It never consumes data.
typedef aErr (*aStreamWaitProc)(uint32_t milliseconds, void* ref);

// Optional "wake the reader": makes a get that is blocked inside the transport (USB, whose IN
// transfer waits up to 1000 ms) return aErrNotReady soon, without losing what is in flight; the
// next get goes on waiting for it. Called from another thread than the reader, while the stream
// is alive. Transports whose gets do not block need none.
typedef void (*aStreamWakeProc)(void* ref);

constexpr uint16_t aSTREAM_CHECK = 0x4321;

struct aStream {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;
    uint8_t* pushBack;       // ring of pushed-back bytes, made on first use
    uint32_t pushBackCount;  // bytes held
    uint64_t pushBackSize;   // capacity of the ring
    uint64_t pushBackRead;   // next byte to hand out
    uint64_t pushBackWrite;  // next free slot
    uint16_t check;          // aSTREAM_CHECK while the record is alive
    aStreamWaitProc wait;    // optional, see aStream_WaitReadable
    aStreamWakeProc wake;    // optional, see aStream_Wake
};

inline bool aVALIDSTREAM(const aStream* s) {
    return s && s->check == aSTREAM_CHECK;
}

// A new stream over the operations (each may be null) and ref; null when memory is short.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref);

// Installs the transport's "wait until readable" operation (null removes it).
aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait);

// Installs the transport's "wake the reader" operation (null removes it).
aErr aStream_SetWake(aStream* stream, aStreamWakeProc wake);

// Asks a reader blocked in the transport's get to return soon (see aStreamWakeProc). Nothing
// happens for a stream without a wake operation or an invalid one. Any thread.
void aStream_Wake(aStream* stream);

// For a receive loop that got aErrNotReady: waits at most `milliseconds` until a read may find a
// byte, instead of polling again at once. aErrNone at once when pushed-back bytes are held;
// otherwise the transport's wait result (aErrNone readable, aErrTimeout nothing came). A stream
// without a wait operation answers aErrUnimplemented at once, and the caller must pace itself.
// aErrParam for an invalid stream. A plain get is never slowed by this.
aErr aStream_WaitReadable(aStream* stream, uint32_t milliseconds);

// Reads exactly `count` bytes or none: when the transport runs dry part-way (aErrNotReady) the
// bytes taken are pushed back and aErrNotReady returned; aErrEOF copies what arrived; any other
// failure drops the bytes and returns the code.
aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count);

// One write call for runs of more than one byte when the stream has a write operation; otherwise
// put byte by byte (or write with one byte when the stream has no put).
aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t count);

// Reads one record ended by the terminator bytes (not stored) or by filling `size` bytes. No zero
// byte is appended. aErrNotReady pushes the stored bytes back so a later call starts the record
// again; a byte breaking a partial multi-byte terminator match is kept: the partially matched
// bytes are stored as data and matching restarts with that byte.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength);
aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t count,
                         const uint8_t* terminator, size_t terminatorLength);

// Zero-terminated text records; the buffer receives at most size - 1 bytes and, on success, a zero.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size);
aErr aStream_WriteCString(aStream* stream, const char* text);
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator);
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);

// Copies bytes from the source's get to the destination's put until the source reports aErrEOF
// (aErrNone) or anything else (that code).
aErr aStream_Flush(aStream* source, aStream* destination);

// Deletes the transport (its result is returned), frees the record and nulls the caller's pointer.
aErr aStream_Destroy(aStream** stream);

// Streams over files, read byte by byte or written.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);
