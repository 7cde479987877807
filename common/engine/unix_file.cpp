// aFile over standard I/O.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <new>

#include "engine/aFile.h"

namespace {
constexpr uint16_t kFileCheck = 0xFEED;

bool pathUsable(const char* path) {
    return path && path[0] && strnlen(path, aFILE_MAXPATH + 1) <= aFILE_MAXPATH;
}
}  // namespace

struct aFile {
    FILE* stream;
    int32_t mode;
    uint16_t check;
};

static bool sValid(const aFile* file) {
    return file && file->check == kFileCheck && file->stream;
}

bool aFile_Exists(const char* path) {
    if (!pathUsable(path)) return false;
    struct stat st;
    if (stat(path, &st) != 0) return false;
    return !S_ISDIR(st.st_mode);
}

aFile* aFile_Open(const char* path, int32_t mode) {
    if (!pathUsable(path)) return nullptr;
    const char* how = nullptr;
    switch (mode) {
        case aFileModeReadOnly:
            how = "rb";
            break;
        case aFileModeWriteOnly:
            how = "wb";
            break;
        case aFileModeAppend:
            how = "a+b";
            break;
        default:
            return nullptr;
    }
    FILE* stream = fopen(path, how);
    if (!stream) return nullptr;
    if (mode == aFileModeAppend && fseek(stream, 0, SEEK_END) != 0) {
        fclose(stream);
        return nullptr;
    }
    aFile* file = new (std::nothrow) aFile{stream, mode, kFileCheck};
    if (!file) fclose(stream);
    return file;
}

aErr aFile_Close(aFile** file) {
    if (!file || !*file) return aErrParam;
    aFile* f = *file;
    if (f->check != kFileCheck) return aErrParam;
    aErr err = aErrNone;
    if (f->stream && fclose(f->stream) != 0) err = aErrIO;
    f->stream = nullptr;
    f->check = 0;
    delete f;
    *file = nullptr;
    return err;
}

aErr aFile_Read(aFile* file, uint8_t* buffer, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !buffer) return aErrParam;
    if (file->mode == aFileModeWriteOnly) return aErrMode;
    size_t got = length ? fread(buffer, 1, length, file->stream) : 0;
    if (count) *count = got;
    if (length && got == 0) return aErrEOF;
    return aErrNone;
}

aErr aFile_Write(aFile* file, const uint8_t* bytes, size_t length, size_t* count) {
    if (count) *count = 0;
    if (!sValid(file) || !bytes) return aErrParam;
    if (file->mode == aFileModeReadOnly) return aErrMode;
    size_t put = length ? fwrite(bytes, 1, length, file->stream) : 0;
    if (count) *count = put;
    if (length && put == 0) return aErrIO;
    return aErrNone;
}

static aErr sPositionAndSize(FILE* stream, long* position, long* size) {
    *position = ftell(stream);
    if (*position < 0) return aErrIO;
    if (fseek(stream, 0, SEEK_END) != 0) return aErrIO;
    *size = ftell(stream);
    if (*size < 0 || fseek(stream, *position, SEEK_SET) != 0) return aErrIO;
    return aErrNone;
}

aErr aFile_Seek(aFile* file, long offset, int32_t origin) {
    if (!sValid(file)) return aErrParam;
    long position = 0, size = 0;
    if (sPositionAndSize(file->stream, &position, &size) != aErrNone) return aErrIO;
    long base = origin == aSeekCurrent ? position : origin == aSeekEnd ? size : 0;
    long target = base + offset;
    if (target < 0 || target > size) return aErrRange;
    return fseek(file->stream, target, SEEK_SET) == 0 ? aErrNone : aErrIO;
}

aErr aFile_GetSize(aFile* file, size_t* size) {
    if (!sValid(file) || !size) return aErrParam;
    *size = 0;
    long position = 0, end = 0;
    if (sPositionAndSize(file->stream, &position, &end) != aErrNone) return aErrIO;
    *size = static_cast<size_t>(end);
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (!path) return aErrParam;
    if (strnlen(path, aFILE_MAXPATH + 1) > aFILE_MAXPATH) return aErrFileNameLength;
    if (unlink(path) == 0) return aErrNone;
    switch (errno) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        default:
            return aErrIO;
    }
}

aErr aFile_ReadLine(aFile* file, char* buffer, size_t size, size_t* length) {
    if (length) *length = 0;
    if (buffer && size) buffer[0] = '\0';
    if (!sValid(file) || !buffer) return aErrParam;
    if (file->mode == aFileModeWriteOnly) return aErrMode;
    if (size == 0) return aErrParam;
    if (!fgets(buffer, static_cast<int>(size > 0x7FFFFFFF ? 0x7FFFFFFF : size), file->stream)) {
        buffer[0] = '\0';
        return feof(file->stream) ? aErrEOF : aErrIO;
    }
    size_t len = strlen(buffer);
    if (length) *length = len;
    if (len == size - 1 && (len == 0 || buffer[len - 1] != '\n')) return aErrOverrun;
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFile* file) {
    if (!sValid(file)) return aErrParam;
    if (file->mode == aFileModeReadOnly) return aErrMode;
    return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_Printf(aFile* file, const char* format, ...) {
    if (!sValid(file) || !format) return aErrParam;
    if (file->mode == aFileModeReadOnly) return aErrMode;
    va_list args;
    va_start(args, format);
    int n = vfprintf(file->stream, format, args);
    va_end(args);
    return n < 0 ? aErrIO : aErrNone;
}
