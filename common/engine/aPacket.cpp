// aPacket: packet records and the assembler.
#include "engine/aPacket.h"

#include <cstring>
#include <new>

namespace {

constexpr aPacket sTemplate = {aPACKET_CHECK, 0, 0, 0, {}};

// A packet whose data size can actually be held (the assembler may leave an oversize length byte
// stored after rejecting it).
bool sHoldsData(const aPacket* p) {
    return aVALIDPACKET(p) && p->dataSize <= aPACKET_MAXDATA;
}

}  // namespace

aPacket* aPacket_Create() {
    aPacket* p = new (std::nothrow) aPacket;
    if (p) *p = sTemplate;
    return p;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
    if (!data || length > aPACKET_MAXDATA) return nullptr;
    aPacket* p = aPacket_Create();
    if (!p) return nullptr;
    p->address = address;
    p->dataSize = length;
    p->curSize = static_cast<uint8_t>(length + aPACKET_HEADERBYTES);
    memcpy(p->data, data, length);
    return p;
}

aPacket* aPacket_Copy(const aPacket* packet) {
    if (!sHoldsData(packet)) return nullptr;
    return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* cmd) {
    if (!cmd) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 1) return aErrPacket;
    *cmd = packet->data[0];
    return aErrNone;
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
    if (!option) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 2) return aErrPacket;
    *option = packet->data[1] & 0x3F;
    return aErrNone;
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
    if (!index) return aErrParam;
    if (!aVALIDPACKET(packet) || packet->dataSize < 3) return aErrPacket;
    *index = packet->data[2] & 0x1F;
    return aErrNone;
}

aErr aPacket_Reset(aPacket* packet) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    *packet = sTemplate;
    return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
    if (!aVALIDPACKET(packet)) return aErrParam;
    // The count stops at 255 instead of wrapping, so a caller that keeps feeding a packet without
    // resetting it keeps getting aErrOverrun rather than having bytes stored at a wrapped position.
    if (packet->curSize != UINT8_MAX) ++packet->curSize;
    if (packet->curSize > aPACKET_MAXBYTES) return aErrOverrun;
    if (packet->address == 0) {
        if (byte == 0) return aErrPacket;
        packet->address = byte;
        return aErrNone;
    }
    if (packet->dataSize == 0) {
        packet->dataSize = byte;
        return byte > aPACKET_MAXDATA ? aErrPacket : aErrNone;
    }
    if (packet->curSize > packet->dataSize + aPACKET_HEADERBYTES || packet->curSize < 3)
        return aErrPacket;
    packet->data[packet->curSize - 3] = byte;
    return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
    // An oversize length byte (rejected, but left stored) never makes a complete packet.
    return sHoldsData(packet) && packet->curSize == packet->dataSize + aPACKET_HEADERBYTES;
}

aErr aPacket_GetBytes(const aPacket* packet, uint8_t* buffer, size_t size, size_t* count) {
    if (!aVALIDPACKET(packet) || !buffer) return aErrParam;
    if (packet->dataSize > aPACKET_MAXDATA) return aErrPacket;
    size_t n = packet->dataSize + size_t{aPACKET_HEADERBYTES};
    if (size < n) return aErrOverrun;
    buffer[0] = packet->address;
    buffer[1] = packet->dataSize;
    memcpy(buffer + 2, packet->data, packet->dataSize);
    if (count) *count = n;
    return aErrNone;
}

aErr aPacket_Destroy(aPacket** packet) {
    if (!packet || !*packet) return aErrParam;
    (*packet)->check = 0;
    delete *packet;
    *packet = nullptr;
    return aErrNone;
}
