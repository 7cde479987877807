// aPacket: one link packet and the byte-by-byte assembler that rebuilds packets from a stream.
//
// A packet is a module address, a data length (0 to 28) and the data bytes; its byte form on the
// wire is address, length, data. A packet belongs to whoever created it (aPacket_Create,
// aPacket_CreateWithData, aPacket_Copy) and is released with aPacket_Destroy. Packets are not
// thread-safe: one owner at a time. The functions keep no state and any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"

constexpr uint16_t aPACKET_CHECK = 0xBEEF;  // validity word of every live packet
constexpr uint8_t aPACKET_MAXDATA = 28;     // most data bytes in one packet
constexpr uint8_t aPACKET_MAXBYTES = 30;    // most bytes in a packet's byte form
constexpr uint8_t aPACKET_HEADERBYTES = 2;  // address and length bytes of the byte form

struct aPacket {
    uint16_t check;    // aPACKET_CHECK while the packet is live
    uint8_t curSize;   // bytes taken by aPacket_AddByte; dataSize + 2 for a packet built from data
    uint8_t address;   // module address; 0 until the address byte has been received
    uint8_t dataSize;  // number of data bytes, 0..28
    uint8_t data[aPACKET_MAXDATA];  // data bytes; those beyond dataSize are 0
};

static_assert(sizeof(aPacket) == 34, "aPacket is a fixed-size record with no padding surprises");

// True for a non-null packet that carries the validity word.
inline bool aVALIDPACKET(const aPacket* p) {
    return p != nullptr && p->check == aPACKET_CHECK;
}

// A new empty packet; null when memory is short.
aPacket* aPacket_Create();

// A new packet with `address` and `length` bytes copied from `data`; null when `data` is null,
// `length` is above 28 or memory is short.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);

// A new packet with the same address, data size and data; null for an invalid packet.
aPacket* aPacket_Copy(const aPacket* packet);

// Data byte 0 (the command). aErrParam for a null out pointer; aErrPacket when the packet is
// invalid or has no data.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd);

// Data byte 1 AND 0x3F (the option code); needs at least 2 data bytes, else aErrPacket.
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);

// Data byte 2 AND 0x1F (the entity index); needs at least 3 data bytes, else aErrPacket.
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears address, data size, byte count and data; aErrParam for an invalid packet.
aErr aPacket_Reset(aPacket* packet);

// The assembler step: takes the next byte of a packet's byte form.
//   aErrParam   invalid packet
//   aErrOverrun more than 30 bytes have been offered since the last reset
//   aErrPacket  a zero address byte, a length byte above 28, or a byte beyond the data
// Every byte offered counts, rejected or not. Reset the packet after taking a complete packet
// and after any error.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);

// True when the packet is valid and all of its bytes have arrived.
bool aPacket_IsComplete(const aPacket* packet);

// Writes the byte form (address, length, data) into `buffer`; stores the number of bytes in
// `count` when it is not null. aErrParam for an invalid packet or a null buffer; aErrOverrun when
// `size` is below dataSize + 2.
aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count);

// Frees the packet and nulls the caller's pointer; aErrParam when either pointer is null.
aErr aPacket_Destroy(aPacket** packet);
