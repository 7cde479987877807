// aDirectory over POSIX directories, the user database and /proc/self/exe.
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/aDirectory.h"

bool aDirectory_Exists(const char* path) {
    if (!path) return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

static bool sMakeOne(const std::string& path, mode_t mode) {
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

aErr aDirectory_Ensure(const char* path, mode_t mode) {
    if (!path || !path[0]) return aErrPermission;
    if (aDirectory_Exists(path)) return aErrNone;

    // Find the longest existing prefix, cutting at separators from the right.
    std::string copy(path);
    size_t existing = 0;  // length of the existing prefix; 0 when none exists
    for (size_t cut = copy.find_last_of('/'); cut != std::string::npos && cut > 0;
         cut = copy.find_last_of('/', cut - 1)) {
        if (aDirectory_Exists(copy.substr(0, cut).c_str())) {
            existing = cut;
            break;
        }
    }

    // Create each missing component going down; empty components are skipped.
    aErr result = aErrNone;
    size_t pos = existing;
    while (pos < copy.size()) {
        size_t next = copy.find('/', pos + 1);
        if (next == std::string::npos) break;  // the last component is made below
        if (next > pos + 1 || (pos == 0 && copy[0] != '/')) {
            std::string prefix = copy.substr(0, next);
            if (!prefix.empty() && !aDirectory_Exists(prefix.c_str()) && !sMakeOne(prefix, mode)) {
                result = aErrPermission;
                break;
            }
        }
        pos = next;
    }

    if (!aDirectory_Exists(path) && !sMakeOne(path, mode)) return aErrPermission;
    return aDirectory_Exists(path) ? result : aErrPermission;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* userData) {
    if (!path || !callback) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    aDirectoryListData entry;
    while (struct dirent* de = readdir(dir)) {
        int n = snprintf(entry.path, sizeof entry.path, "%s/%s", path, de->d_name);
        if (n < 0 || static_cast<size_t>(n) >= sizeof entry.path) continue;
        struct stat st;
        if (stat(entry.path, &st) != 0) continue;
        entry.size = static_cast<uint32_t>(st.st_size);
        entry.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (!callback(&entry, userData)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (!path) return aErrUnknown;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrNotFound;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    aErr result = aErrNone;
    while (struct dirent* de = readdir(dir)) {
        if (!strcmp(de->d_name, ".") || !strcmp(de->d_name, "..")) continue;
        std::string child = std::string(path) + aDIR_PATH_SEP + de->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            result = aDirectory_DeleteTree(child.c_str());
        } else if (unlink(child.c_str()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", child.c_str());
            result = aErrUnknown;
        }
        if (result != aErrNone) break;
    }
    closedir(dir);
    if (result != aErrNone) return result;
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    return getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrRead;
    ssize_t n = readlink("/proc/self/exe", buffer, size - 1);
    if (n < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[n] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    const char* home = nullptr;
    char scratch[4096];
    struct passwd pw, *found = nullptr;
    if (getpwuid_r(getuid(), &pw, scratch, sizeof scratch, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0]) {
        home = found->pw_dir;
    } else {
        home = getenv("HOME");
    }
    if (!home) {
        buffer[0] = '\0';
        return aErrNotFound;
    }
    // Copies at most size characters and always terminates.
    strncpy(buffer, home, size - 1);
    buffer[size - 1] = '\0';
    return aErrNone;
}

static aErr sBuildPath(char* buffer, size_t size, const char* first, va_list parts) {
    if (!buffer || size == 0) return aErrParam;
    if (first != buffer) buffer[0] = '\0';
    const char* list[aDIRECTORY_MAXPARTS + 1];
    int count = 0;
    if (first) list[count++] = first;
    for (const char* part = va_arg(parts, const char*); part; part = va_arg(parts, const char*)) {
        if (count == aDIRECTORY_MAXPARTS) return aErrParam;
        list[count++] = part;
    }
    for (int i = 0; i < count; ++i)
        if (list[i] == buffer) return aErrParam;
    buffer[0] = '\0';
    if (count == 0) return aErrParam;

    size_t length = strlen(list[0]);
    if (length >= size - 1) return aErrOverrun;
    memcpy(buffer, list[0], length + 1);
    for (int i = 1; i < count; ++i) {
        size_t room = size - length - 1;
        if (room > 1 && (length == 0 || buffer[length - 1] != '/') && list[i][0] != '/') {
            buffer[length++] = '/';
            buffer[length] = '\0';
            --room;
        }
        size_t partLength = strlen(list[i]);
        if (partLength >= room) return aErrOverrun;
        memcpy(buffer + length, list[i], partLength + 1);
        length += partLength;
    }
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    va_list parts;
    va_start(parts, first);
    aErr err = sBuildPath(buffer, size, first, parts);
    va_end(parts);
    return err;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, static_cast<const char*>(nullptr));
}

std::string BuildPath(const char* first, ...) {
    std::string path = first ? first : "";
    va_list parts;
    va_start(parts, first);
    for (const char* part = va_arg(parts, const char*); part; part = va_arg(parts, const char*)) {
        path += aDIR_PATH_SEP;
        path += part;
    }
    va_end(parts);
    return path;
}
