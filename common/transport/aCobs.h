// COBS framing with CRC-8 for packet links over serial lines, and the COBS stream.
//
// On the wire each packet travels in its own frame: the COBS encoding of (address, length, data,
// CRC-8 of those bytes) followed by one 0x00 delimiter, at most 33 bytes. The CRC is
// CRC-8/MAXIM-DOW (reflected polynomial 0x8C, initial value 0, no final XOR).
//
// The codec and CRC functions are pure and may be called from any thread. A COBS stream wraps
// another transport's operations and owns that transport (its delete releases it). One thread
// reads (the receive fields are the reader's) while one other writes (the packet assembler and
// send buffer are the writer's).
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"
#include "transport/aStream.h"

constexpr size_t aCOBS_MAXPAYLOAD = 31;  // address, length, 28 data bytes, CRC
constexpr size_t aCOBS_MAXFRAME = 33;    // code byte, payload, delimiter

// Encodes `length` bytes into `destination`, which holds at least length + 1 + length / 254
// bytes; returns the encoded length. The encoding contains no zero byte.
size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination);
// The same in one buffer, which must have room for the encoded length.
size_t cobs_encode_inplace(uint8_t* buffer, size_t length);
// Decodes into `destination` (at least `length` bytes); returns the decoded length, or 0 when a
// code byte is zero or points beyond the end (a final code byte of 1 is always allowed).
size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination);
size_t cobs_decode_inplace(uint8_t* buffer, size_t length);

uint8_t crc8_update(uint8_t crc, uint8_t byte);
uint8_t crc8_create(const uint8_t* bytes, size_t length);
bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected);

// Wraps the inner transport's operations and ref in COBS framing. Writes are cut into packets and
// sent one frame per packet; gets hand out the bytes of good frames (address, length, data) and
// answer aErrPacket once for a frame with a wrong length or CRC. A put passes one byte to the
// inner put unframed. aErrParam for a null out pointer; aErrMemory or aErrResource when memory
// is short (nothing is kept then, and the inner transport is not deleted).
aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStream** stream);

// Gives a COBS stream the inner transport's wait operation, so that aStream_WaitReadable works on
// it; aErrParam when `stream` is not a COBS stream.
aErr aCobs_SetInnerWait(aStream* stream, aStreamWaitProc innerWait);
