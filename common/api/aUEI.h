// aUEI: the UEI record and the small encoders and classifiers of UEI packets.
//
// A UEI names one value or action of a module by command (entity class), option and index; this
// unit holds the host-side record of one command or reply, big-endian number helpers, the
// byte-string run encoding and the classification of received packets. The protocol's numbers
// live in api/aProtocol.h. Nothing here keeps state; any thread may call these functions.
#pragma once

#include <cstddef>
#include <cstdint>

#include "api/aError.h"
#include "api/aProtocol.h"
#include "engine/aPacket.h"

// Value type codes of a uei record (3 is not used).
enum : int {
    ueiVoid = 0,
    ueiByte = 1,
    ueiShort = 2,
    ueiInt = 4,
    ueiBytes = 5,
};

// One UEI command or reply in host form; a plain value that callers fill and pass around.
struct uei {
    uint8_t module;   // module address
    uint8_t command;  // command number (entity class)
    uint8_t option;   // option code in bits 0-5, request flags in bits 6-7
    uint8_t index;    // entity index in bits 0-4, flags in bits 5-7
    union {
        uint8_t byteVal;
        uint16_t shortVal;
        uint32_t intVal;
        const uint8_t* bytes;  // the byte string of a ueiBytes value (not owned)
    } value;
    size_t length;  // bytes in the byte string (ueiBytes only)
    int type;       // ueiVoid, ueiByte, ueiShort, ueiInt or ueiBytes
};

// Big-endian 16- and 32-bit numbers inside packet data.
uint16_t aUEI_RetrieveShort(const uint8_t* p);
void aUEI_StoreShort(uint8_t* p, uint16_t v);
uint32_t aUEI_RetrieveInt(const uint8_t* p);
void aUEI_StoreInt(uint8_t* p, uint32_t v);

// Converts `count` 32-bit words in place from big-endian byte order to host order.
void aUEI_ModifyIntBuffer(uint32_t* words, size_t count);

// Byte-string packets. The sequence byte is the packet's last data byte: bits 0-6 its number in
// the run, bit 7 set when more packets follow. A packet with no data yields 0 / false.
uint8_t aUEI_getBytesSequence(const aPacket* packet);
bool aUEI_getBytesContinue(const aPacket* packet);
// True for a full chunk: data length 28 or 27.
bool aUEI_getBytesFullPacket(const aPacket* packet);

// The string bytes a byte-string packet carries (data bytes 3 to length - 2); 0 for a packet
// too short to carry any. They start at packet->data + 3.
size_t aUEI_getBytesChunkLength(const aPacket* packet);

// Number of packets that carry a byte string of `length` bytes (an empty string takes one).
size_t aUEI_BytesPacketCount(size_t length);

// Packet `number` (from 0) of the run that carries `length` bytes at `bytes`, addressed to
// `module` and starting with `command`, `option` and `index` exactly as given. Null when `number`
// is past the run, `bytes` is null while `length` is not 0, or memory is short. The caller owns
// the packet.
aPacket* aUEI_CreateBytesPacket(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                const uint8_t* bytes, size_t length, size_t number);

// Decodes a UEI reply's value by its data length: 3 void, 4 byte, 5 short, 7 int. Other lengths
// (and a null argument) leave `record` untouched and give false.
bool aUEI_DecodeValue(const aPacket* packet, uei* record);

// Whether data byte 0 is a command with its own layout instead of a UEI payload (0, 1, 2, 4, 8,
// 9, 23, 24, 73, 94, 95, 173, 175). False for a null packet; aUEI_isUEIPayload is the negation.
bool aUEI_isNotUEIPayload(const aPacket* packet);
bool aUEI_isUEIPayload(const aPacket* packet);

// A stream sample: data length at least 5, a UEI payload, no request flags in the option byte
// and INDEX_STREAM in the index byte. False for a null packet.
bool aUEI_isStreamPacket(const aPacket* packet);
