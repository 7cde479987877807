// The stream framework: push-back store, all-or-nothing reads, records, flush and file streams.
#include "transport/aStream.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "engine/aFile.h"

namespace {

constexpr uint64_t kPushBackStep = 512;

// Stores one byte at the end of the push-back ring, growing it when it is nearly full.
aErr sPushBack(aStream* s, uint8_t byte) {
    if (!s->pushBack || s->pushBackCount >= s->pushBackSize - 1) {
        const uint64_t size = s->pushBackSize + kPushBackStep;
        uint8_t* ring = static_cast<uint8_t*>(malloc(size));
        if (!ring) return aErrMemory;
        for (uint32_t i = 0; i < s->pushBackCount; ++i)
            ring[i] = s->pushBack[(s->pushBackRead + i) % s->pushBackSize];
        free(s->pushBack);
        s->pushBack = ring;
        s->pushBackSize = size;
        s->pushBackRead = 0;
        s->pushBackWrite = s->pushBackCount;
    }
    s->pushBack[s->pushBackWrite] = byte;
    s->pushBackWrite = (s->pushBackWrite + 1) % s->pushBackSize;
    ++s->pushBackCount;
    return aErrNone;
}

bool sTakePushedBack(aStream* s, uint8_t* byte) {
    if (s->pushBackCount == 0) return false;
    *byte = s->pushBack[s->pushBackRead];
    s->pushBackRead = (s->pushBackRead + 1) % s->pushBackSize;
    --s->pushBackCount;
    return true;
}

// Pushes back `count` bytes in order; a failure for lack of memory ends the loop.
void sPushBackRun(aStream* s, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (sPushBack(s, bytes[i]) != aErrNone) return;
}

// Reads drain the push-back store before calling get, so when get runs dry the store is empty
// and appending the gathered bytes keeps them in arrival order.

aErr sReadOne(aStream* s, uint8_t* byte) {
    if (sTakePushedBack(s, byte)) return aErrNone;
    return s->get(byte, s->ref);
}

aErr sFileGet(uint8_t* byte, void* ref) {
    if (!ref) return aErrIO;
    size_t count = 0;
    aErr err = aFile_Read(static_cast<aFile*>(ref), byte, 1, &count);
    if (err == aErrNone && count != 1) return aErrEOF;
    return err;
}

aErr sFileWrite(const uint8_t* bytes, size_t count, void* ref) {
    if (!ref) return aErrIO;
    size_t written = 0;
    aErr err = aFile_Write(static_cast<aFile*>(ref), bytes, count, &written);
    if (err == aErrNone && written != count) return aErrWrite;
    return err;
}

aErr sFilePut(const uint8_t* byte, void* ref) {
    return sFileWrite(byte, 1, ref);
}

aErr sFileDelete(void* ref) {
    if (!ref) return aErrIO;
    aFile* file = static_cast<aFile*>(ref);
    return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, int32_t mode, aStream** stream) {
    if (!path || !stream) return aErrResource;
    *stream = nullptr;
    aFile* file = aFile_Open(path, mode);
    if (!file) return aErrResource;
    aStream* s = mode == aFileModeReadOnly
                     ? aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file)
                     : aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file);
    if (!s) {
        aFile_Close(&file);
        return aErrResource;
    }
    *stream = s;
    return aErrNone;
}

}  // namespace

aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc del, void* ref) {
    aStream* s = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!s) return nullptr;
    s->get = get;
    s->put = put;
    s->write = write;
    s->del = del;
    s->ref = ref;
    s->check = aSTREAM_CHECK;
    return s;
}

aErr aStream_SetWait(aStream* stream, aStreamWaitProc wait) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    stream->wait = wait;
    return aErrNone;
}

aErr aStream_SetWake(aStream* stream, aStreamWakeProc wake) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    stream->wake = wake;
    return aErrNone;
}

void aStream_Wake(aStream* stream) {
    if (aVALIDSTREAM(stream) && stream->wake) stream->wake(stream->ref);
}

aErr aStream_WaitReadable(aStream* stream, uint32_t milliseconds) {
    if (!aVALIDSTREAM(stream)) return aErrParam;
    if (stream->pushBackCount) return aErrNone;
    if (!stream->wait) return aErrUnimplemented;
    return stream->wait(milliseconds, stream->ref);
}

aErr aStream_Read(aStream* stream, uint8_t* destination, size_t count) {
    if (!aVALIDSTREAM(stream) || !destination) return aErrParam;
    if (!stream->get) return aErrMode;
    if (count == 0) return aErrNone;
    if (count == 1) {
        // The link engine's case: no work buffer needed, nothing to undo.
        uint8_t byte;
        aErr err = sReadOne(stream, &byte);
        if (err == aErrNone) *destination = byte;
        return err;
    }
    std::unique_ptr<uint8_t[]> gathered(new (std::nothrow) uint8_t[count]);
    if (!gathered) return aErrResource;
    size_t have = 0;
    aErr err = aErrNone;
    while (have < count) {
        err = sReadOne(stream, &gathered[have]);
        if (err != aErrNone) break;
        ++have;
    }
    switch (err) {
        case aErrNone:
            memcpy(destination, gathered.get(), count);
            return aErrNone;
        case aErrNotReady:
            sPushBackRun(stream, gathered.get(), have);
            return aErrNotReady;
        case aErrEOF:
            if (have) memcpy(destination, gathered.get(), have);
            return aErrEOF;
        default:
            return err;
    }
}

aErr aStream_Write(aStream* stream, const uint8_t* bytes, size_t count) {
    if (!aVALIDSTREAM(stream) || !bytes) return aErrParam;
    if (!stream->write && !stream->put) return aErrMode;
    if (stream->write && (count > 1 || !stream->put)) {
        if (count == 0) return aErrNone;
        return stream->write(bytes, count, stream->ref);
    }
    for (size_t i = 0; i < count; ++i) {
        aErr err = stream->put(&bytes[i], stream->ref);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t size,
                        const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || !buffer || !terminator || terminatorLength == 0 || size == 0)
        return aErrParam;
    if (!stream->get) return aErrMode;
    std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[size]);
    if (!work) return aErrResource;
    size_t stored = 0;
    size_t matched = 0;
    bool complete = false;
    aErr err = aErrNone;
    while (!complete) {
        uint8_t byte;
        err = aStream_Read(stream, &byte, 1);
        if (err != aErrNone) break;
        if (byte == terminator[matched]) {
            if (++matched == terminatorLength) complete = true;
            continue;
        }
        // A broken partial match: its bytes were data after all; retry this byte from the start.
        for (size_t i = 0; i < matched && stored < size; ++i) work[stored++] = terminator[i];
        matched = 0;
        if (stored < size && byte == terminator[0]) {
            if (++matched == terminatorLength) complete = true;
            continue;
        }
        if (stored < size) work[stored++] = byte;
        if (stored >= size) complete = true;
    }
    if (!complete) {
        if (err == aErrEOF && stored == 0) {
            if (length) *length = 0;
            return aErrEOF;
        }
        if (err == aErrNotReady) {
            sPushBackRun(stream, work.get(), stored);
            sPushBackRun(stream, terminator, matched);
            return aErrNotReady;
        }
        if (err != aErrEOF) return err;
    }
    memcpy(buffer, work.get(), stored);
    if (length) *length = stored;
    return aErrNone;
}

aErr aStream_WriteRecord(aStream* stream, const uint8_t* bytes, size_t count,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!aVALIDSTREAM(stream) || !bytes || !terminator || terminatorLength == 0) return aErrParam;
    aErr err = aStream_Write(stream, bytes, count);
    if (err != aErrNone) return err;
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t size, const char* terminator) {
    if (!buffer || !terminator || size == 0) return aErrParam;
    const size_t termLength = strlen(terminator);
    size_t length = 0;
    aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1,
                                  reinterpret_cast<const uint8_t*>(terminator), termLength);
    if (err == aErrNone) buffer[length] = 0;
    return err;
}

aErr aStream_ReadCString(aStream* stream, char* buffer, size_t size) {
    static const uint8_t zero = 0;
    if (!buffer || size == 0) return aErrParam;
    size_t length = 0;
    aErr err =
        aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, size - 1, &zero, 1);
    if (err == aErrNone) buffer[length] = 0;
    return err;
}

aErr aStream_WriteCString(aStream* stream, const char* text) {
    if (!text) return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator) {
    if (!text || !terminator) return aErrParam;
    return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), strlen(text),
                               reinterpret_cast<const uint8_t*>(terminator),
                               strlen(terminator) + 1);
}

aErr aStream_Flush(aStream* source, aStream* destination) {
    if (!aVALIDSTREAM(source) || !aVALIDSTREAM(destination)) return aErrParam;
    if (!source->get || !destination->put) return aErrMode;
    for (;;) {
        uint8_t byte;
        aErr err = source->get(&byte, source->ref);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->put(&byte, destination->ref);
        if (err != aErrNone) return err;
    }
}

aErr aStream_Destroy(aStream** stream) {
    if (!stream) return aErrParam;
    aStream* s = *stream;
    *stream = nullptr;
    if (!aVALIDSTREAM(s)) return aErrParam;
    aErr err = aErrNone;
    if (s->del) err = s->del(s->ref);
    free(s->pushBack);
    s->check = 0;
    free(s);
    return err;
}

aErr aStream_CreateFileInput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeReadOnly, stream);
}

aErr aStream_CreateFileOutput(const char* path, aStream** stream) {
    return sCreateFileStream(path, aFileModeWriteOnly, stream);
}
