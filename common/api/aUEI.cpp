// aUEI: UEI encoders and classifiers.
#include "api/aUEI.h"

#include <algorithm>
#include <cstring>
#include <iterator>

static_assert(aPROTO_MAX_DATA == aPACKET_MAXDATA, "one packet size for both layers");

namespace {

// The data length of a packet that can be read safely (0 for none or an oversize length).
size_t sDataLength(const aPacket* p) {
    if (!p || p->dataSize > aPACKET_MAXDATA) return 0;
    return p->dataSize;
}

uint8_t sLastByte(const aPacket* p) {
    size_t n = sDataLength(p);
    return n ? p->data[n - 1] : 0;
}

}  // namespace

uint16_t aUEI_RetrieveShort(const uint8_t* p) {
    return static_cast<uint16_t>((uint16_t{p[0]} << 8) | p[1]);
}

void aUEI_StoreShort(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint32_t aUEI_RetrieveInt(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void aUEI_StoreInt(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

void aUEI_ModifyIntBuffer(uint32_t* words, size_t count) {
    if (!words) return;
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        memcpy(bytes, &words[i], 4);
        words[i] = aUEI_RetrieveInt(bytes);
    }
}

uint8_t aUEI_getBytesSequence(const aPacket* packet) {
    return sLastByte(packet) & aPROTO_UEI_BYTES_SEQ_MASK;
}

bool aUEI_getBytesContinue(const aPacket* packet) {
    return (sLastByte(packet) & aPROTO_UEI_BYTES_CONTINUE) != 0;
}

bool aUEI_getBytesFullPacket(const aPacket* packet) {
    size_t n = sDataLength(packet);
    return n == aPACKET_MAXDATA || n == aPACKET_MAXDATA - 1;
}

size_t aUEI_getBytesChunkLength(const aPacket* packet) {
    size_t n = sDataLength(packet);
    return n > aPROTO_UEI_BYTES_OVERHEAD ? n - aPROTO_UEI_BYTES_OVERHEAD : 0;
}

size_t aUEI_BytesPacketCount(size_t length) {
    return length == 0 ? 1 : (length + aPROTO_UEI_BYTES_CHUNK - 1) / aPROTO_UEI_BYTES_CHUNK;
}

aPacket* aUEI_CreateBytesPacket(uint8_t module, uint8_t command, uint8_t option, uint8_t index,
                                const uint8_t* bytes, size_t length, size_t number) {
    if ((!bytes && length) || number >= aUEI_BytesPacketCount(length)) return nullptr;
    const size_t offset = number * aPROTO_UEI_BYTES_CHUNK;
    const size_t chunk = std::min<size_t>(length - offset, aPROTO_UEI_BYTES_CHUNK);
    const bool more = offset + chunk < length;
    uint8_t data[aPACKET_MAXDATA];
    data[0] = command;
    data[1] = option;
    data[2] = index;
    if (chunk) memcpy(data + aPROTO_UEI_HEADER, bytes + offset, chunk);
    data[aPROTO_UEI_HEADER + chunk] = static_cast<uint8_t>((number & aPROTO_UEI_BYTES_SEQ_MASK) |
                                                           (more ? aPROTO_UEI_BYTES_CONTINUE : 0));
    return aPacket_CreateWithData(module, static_cast<uint8_t>(chunk + aPROTO_UEI_BYTES_OVERHEAD),
                                  data);
}

bool aUEI_DecodeValue(const aPacket* packet, uei* record) {
    if (!aVALIDPACKET(packet) || !record) return false;
    const uint8_t* v = packet->data + aPROTO_UEI_HEADER;
    switch (packet->dataSize) {
        case aPROTO_UEI_LENGTH_VOID:
            record->type = ueiVoid;
            return true;
        case aPROTO_UEI_LENGTH_BYTE:
            record->type = ueiByte;
            record->value.byteVal = v[0];
            return true;
        case aPROTO_UEI_LENGTH_SHORT:
            record->type = ueiShort;
            record->value.shortVal = aUEI_RetrieveShort(v);
            return true;
        case aPROTO_UEI_LENGTH_INT:
            record->type = ueiInt;
            record->value.intVal = aUEI_RetrieveInt(v);
            return true;
        default:
            return false;
    }
}

bool aUEI_isNotUEIPayload(const aPacket* packet) {
    if (!packet) return false;
    const uint8_t cmd = packet->data[0];
    return std::find(std::begin(aPROTO_NOT_UEI_COMMANDS), std::end(aPROTO_NOT_UEI_COMMANDS), cmd) !=
           std::end(aPROTO_NOT_UEI_COMMANDS);
}

bool aUEI_isUEIPayload(const aPacket* packet) {
    return !aUEI_isNotUEIPayload(packet);
}

bool aUEI_isStreamPacket(const aPacket* packet) {
    return sDataLength(packet) >= aPROTO_STREAM_MIN_LENGTH && aUEI_isUEIPayload(packet) &&
           (packet->data[1] & (OPTION_GET | OPTION_SET)) == 0 &&
           (packet->data[2] & INDEX_STREAM) != 0;
}
