#include "firmware/KeyValueStore.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cli/Log.h"
#include "engine/aFile.h"
#include "firmware/ReplaceFile.h"

const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";
const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";

namespace {

bool IsSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char small[64];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return std::string();
    if (size_t(n) < sizeof small) return std::string(small, size_t(n));
    std::string text(size_t(n) + 1, '\0');
    va_start(args, format);
    vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(size_t(n));
    return text;
}

bool PathExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

}  // namespace

KeyValueStore::KeyValueStore(const std::string& path) {
    Load(path);
}

std::string KeyValueStore::TimeStamp() {
    time_t now = time(nullptr);
    char text[64];
    if (!ctime_r(&now, text)) return std::string();
    size_t n = strlen(text);
    if (n > 0 && text[n - 1] == '\n') text[--n] = '\0';
    return std::string(text, n);
}

bool KeyValueStore::ParseLine(const char* line, size_t length, std::string* key,
                              std::string* value) {
    if (!line || length < 3 || line[0] == '#') return false;
    const char* p = line;
    const char* end = line + length;
    while (p < end && IsSpace(*p)) ++p;
    const char* equals = static_cast<const char*>(memchr(p, '=', size_t(end - p)));
    const char* keyEnd = equals ? equals : end;
    while (keyEnd > p && IsSpace(keyEnd[-1])) --keyEnd;
    if (keyEnd == p) return false;  // a blank line, or nothing before "="
    const char* v = equals ? equals + 1 : end;
    while (v < end && IsSpace(*v)) ++v;
    const char* valueEnd = end;
    while (valueEnd > v && IsSpace(valueEnd[-1])) --valueEnd;
    key->assign(p, size_t(keyEnd - p));
    value->assign(v, size_t(valueEnd - v));
    return true;
}

aErr KeyValueStore::Load(const std::string& path) {
    errno = 0;
    aFile* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (!file) {
        const int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 path.c_str(), error);
        // Only a missing file is created. One that exists but cannot be read is left alone
        // rather than replaced by an empty one.
        if (!PathExists(path)) {
            Add(KEY_CREATED_TIME, TimeStamp());
            Save(path);
        }
    }
    path_ = path;
    modified_ = false;
    if (!file) return aErrNotFound;

    char line[LINE_BUFFER_SIZE];
    size_t length = 0;
    std::string key, value;
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone) {
        if (ParseLine(line, length, &key, &value)) entries_[key] = value;
    }
    return aFile_Close(&file);
}

void KeyValueStore::Save() {
    if (path_.empty()) {
        path_ = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path_.c_str());
    }
    // The new stamp joins the map only once the file holding it is in place, so a failed save
    // leaves the map and the modified flag as they were.
    std::map<std::string, std::string> written;
    const std::map<std::string, std::string>* entries = &entries_;
    if (modified_) {
        written = entries_;
        written[KEY_UPDATED_TIME] = TimeStamp();
        entries = &written;
    }

    ReplaceFile out(path_);
    if (!out.file()) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path_.c_str(), out.error());
        return;
    }
    aErr err = aErrNone;
    for (const auto& entry : *entries) {
        err = aFile_Printf(out.file(), "%s=%s\n", entry.first.c_str(), entry.second.c_str());
        if (err != aErrNone) break;
    }
    if (err == aErrNone) err = out.Commit();
    if (err != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error (%d) writing attributes file: '%s' (%d)\n",
                 int(err), path_.c_str(), out.error());
        return;
    }
    if (modified_) entries_ = std::move(written);
    modified_ = false;
}

void KeyValueStore::Save(const std::string& path) {
    path_ = path;
    Save();
}

std::string* KeyValueStore::Lookup(const std::string& key) {
    return &entries_[key];
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t defaultValue) {
    const std::string* value = Lookup(key);
    if (value->empty()) return defaultValue;
    return int32_t(strtol(value->c_str(), nullptr, 10));  // atoi, without its overflow hazard
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
    const std::string* value = Lookup(key);
    if (value->empty()) return defaultValue;
    return uint32_t(strtol(value->c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
    const std::string* value = Lookup(key);
    if (value->empty()) return defaultValue;
    return int32_t(strtol(value->c_str(), nullptr, 10)) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
    const std::string* value = Lookup(key);
    if (value->empty()) return defaultValue;
    return atof(value->c_str());
}

std::string KeyValueStore::GetString(const std::string& key,
                                     const std::string& defaultValue) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? defaultValue : it->second;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = entries_.find(key);
    return it == entries_.end() ? nullptr : it->second.c_str();
}

bool KeyValueStore::Set(const std::string& key, const std::string& text) {
    auto it = entries_.find(key);
    const bool changed = it == entries_.end() ? !text.empty() : it->second != text;
    entries_[key] = text;
    if (changed) modified_ = true;
    return true;
}

bool KeyValueStore::Add(const std::string& key, int32_t value) {
    return Set(key, Format("%d", int(value)));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    return Set(key, Format("%f", value));
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Set(key, value ? std::string(value) : std::string());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    return Set(key, value);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    return Set(key, Format("0x%08X", unsigned(value)));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    for (const auto& entry : other.entries_) {
        entries_[entry.first] = entry.second;
        modified_ = true;
    }
    return true;
}

bool KeyValueStore::Clear() {
    entries_.clear();
    modified_ = true;
    return true;
}
