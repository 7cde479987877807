// COBS codec, CRC-8/MAXIM-DOW and the COBS framing stream.
#include "transport/aCobs.h"

#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "engine/aPacket.h"

namespace {

constexpr std::array<uint32_t, 256> sMakeCrc8Table() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8C : crc >> 1;
        table[i] = crc;
    }
    return table;
}

// The 256 steps of the reflected polynomial 0x8C (x^8 + x^5 + x^4 + 1).
constexpr std::array<uint32_t, 256> _crc8LUT = sMakeCrc8Table();

constexpr uint8_t sCrc8(const char* text) {
    uint8_t crc = 0;
    for (; *text; ++text) crc = static_cast<uint8_t>(_crc8LUT[crc ^ static_cast<uint8_t>(*text)]);
    return crc;
}
static_assert(sCrc8("123456789") == 0xA1, "CRC-8/MAXIM-DOW check value");
static_assert(sCrc8("abc") == 0x42, "CRC-8/MAXIM-DOW over \"abc\"");

constexpr uint16_t kCobsCheck = 0xC0B5;
constexpr size_t kReceiveSize = 32;

struct CobsRef {
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc del;
    void* ref;
    uint16_t check;
    // Receive side (reader only).
    uint8_t receive[kReceiveSize];
    uint64_t received;
    bool frameReady;
    uint64_t readPosition;
    // Send side (writer only).
    aPacket* assembler;
    uint8_t send[aCOBS_MAXFRAME];
    uint64_t sendLength;
    aStreamWaitProc innerWait;
};

bool sValid(const CobsRef* r) {
    return r && r->check == kCobsCheck;
}

aErr sCobsStreamGet(uint8_t* byte, void* ref) {
    CobsRef* r = static_cast<CobsRef*>(ref);
    if (!sValid(r) || !byte) return aErrParam;
    if (r->frameReady) {
        *byte = r->receive[r->readPosition++];
        if (r->readPosition >= r->received) {
            r->frameReady = false;
            r->received = 0;
            r->readPosition = 0;
        }
        return aErrNone;
    }
    if (!r->get) return aErrNotReady;
    uint8_t in = 0;
    if (r->get(&in, r->ref) != aErrNone) return aErrNotReady;
    if (in != 0) {
        if (r->received < kReceiveSize) r->receive[r->received++] = in;
        return aErrNotReady;
    }
    if (r->received == 0) return aErrNotReady;
    const size_t length = cobs_decode_inplace(r->receive, r->received);
    r->received = 0;
    if (length > 2 && length == size_t{r->receive[1]} + 3 &&
        crc8_check(r->receive, length - 1, r->receive[length - 1])) {
        r->received = length - 1;
        r->readPosition = 0;
        r->frameReady = true;
        return aErrNotReady;
    }
    return aErrPacket;
}

aErr sCobsSendPacket(CobsRef* r) {
    size_t count = 0;
    aErr err = aPacket_GetBytes(r->assembler, r->send, sizeof r->send, &count);
    aPacket_Reset(r->assembler);
    if (err != aErrNone) return err;
    r->send[count] = crc8_create(r->send, count);
    size_t length = cobs_encode_inplace(r->send, count + 1);
    r->send[length++] = 0;
    r->sendLength = length;
    if (!r->write) return aErrMode;
    return r->write(r->send, length, r->ref);
}

aErr sCobsStreamWrite(const uint8_t* bytes, size_t count, void* ref) {
    CobsRef* r = static_cast<CobsRef*>(ref);
    if (!sValid(r) || !bytes) return aErrParam;
    aErr result = aErrNone;
    for (size_t i = 0; i < count; ++i) {
        if (aPacket_AddByte(r->assembler, bytes[i]) != aErrNone) {
            // A byte that cannot belong to a packet breaks the one being assembled; start over
            // so that the packets after it still get through.
            aPacket_Reset(r->assembler);
            continue;
        }
        if (aPacket_IsComplete(r->assembler)) {
            aErr err = sCobsSendPacket(r);
            if (err != aErrNone) result = err;
        }
    }
    return result;
}

aErr sCobsStreamPut(const uint8_t* byte, void* ref) {
    CobsRef* r = static_cast<CobsRef*>(ref);
    if (!sValid(r) || !byte) return aErrParam;
    if (!r->put) return aErrMode;
    return r->put(byte, r->ref);
}

aErr sCobsStreamWait(uint32_t milliseconds, void* ref) {
    CobsRef* r = static_cast<CobsRef*>(ref);
    if (!sValid(r)) return aErrParam;
    if (r->frameReady) return aErrNone;
    if (!r->innerWait) return aErrUnimplemented;
    return r->innerWait(milliseconds, r->ref);
}

aErr sCobsStreamDelete(void* ref) {
    CobsRef* r = static_cast<CobsRef*>(ref);
    if (!sValid(r)) return aErrParam;
    aErr err = r->del ? r->del(r->ref) : aErrNone;
    aPacket_Destroy(&r->assembler);
    r->check = 0;
    delete r;
    return err;
}

}  // namespace

size_t cobs_encode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t write = 1;
    size_t codeAt = 0;
    uint8_t code = 1;
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = source[i];
        if (byte != 0) {
            destination[write++] = byte;
            ++code;
        }
        if (byte == 0 || code == 0xFF) {
            destination[codeAt] = code;
            code = 1;
            codeAt = write;
            if (byte == 0 || i + 1 < length) ++write;
        }
    }
    destination[codeAt] = code;
    return write;
}

size_t cobs_encode_inplace(uint8_t* buffer, size_t length) {
    // Short payloads gain exactly one byte, so encoding from a copy shifted by one never
    // overtakes the bytes still to be read; long ones go through a temporary copy.
    if (length < 254) {
        memmove(buffer + 1, buffer, length);
        return cobs_encode(buffer + 1, length, buffer);
    }
    std::vector<uint8_t> copy(buffer, buffer + length);
    return cobs_encode(copy.data(), length, buffer);
}

size_t cobs_decode(const uint8_t* source, size_t length, uint8_t* destination) {
    size_t read = 0;
    size_t write = 0;
    while (read < length) {
        const uint8_t code = source[read];
        if (code == 0 || read + code > length) return 0;
        ++read;
        for (uint8_t i = 1; i < code; ++i) destination[write++] = source[read++];
        if (code != 0xFF && read < length) destination[write++] = 0;
    }
    return write;
}

size_t cobs_decode_inplace(uint8_t* buffer, size_t length) {
    // The decoded byte at each step never lies ahead of the encoded byte being read.
    return cobs_decode(buffer, length, buffer);
}

uint8_t crc8_update(uint8_t crc, uint8_t byte) {
    return static_cast<uint8_t>(_crc8LUT[crc ^ byte]);
}

uint8_t crc8_create(const uint8_t* bytes, size_t length) {
    uint8_t crc = 0;
    for (size_t i = 0; i < length; ++i) crc = crc8_update(crc, bytes[i]);
    return crc;
}

bool crc8_check(const uint8_t* bytes, size_t length, uint8_t expected) {
    return crc8_create(bytes, length) == expected;
}

aErr aStream_CreateCobsEncoding(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                                aStreamDeleteProc del, void* ref, aStream** stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    CobsRef* r = new (std::nothrow) CobsRef;
    if (!r) return aErrMemory;
    memset(static_cast<void*>(r), 0, sizeof *r);
    r->assembler = aPacket_Create();
    if (!r->assembler) {
        delete r;
        return aErrMemory;
    }
    r->get = get;
    r->put = put;
    r->write = write;
    r->del = del;
    r->ref = ref;
    r->check = kCobsCheck;
    aStream* s =
        aStream_Create(sCobsStreamGet, sCobsStreamPut, sCobsStreamWrite, sCobsStreamDelete, r);
    if (!s) {
        aPacket_Destroy(&r->assembler);
        delete r;
        return aErrResource;
    }
    aStream_SetWait(s, sCobsStreamWait);
    *stream = s;
    return aErrNone;
}

aErr aCobs_SetInnerWait(aStream* stream, aStreamWaitProc innerWait) {
    if (!aVALIDSTREAM(stream) || stream->get != sCobsStreamGet) return aErrParam;
    CobsRef* r = static_cast<CobsRef*>(stream->ref);
    if (!sValid(r)) return aErrParam;
    r->innerWait = innerWait;
    return aErrNone;
}
