// aVersion: version words and the library's version and features.
#include "api/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

const aFeature FEATS[NUM_FEATS] = {
    {"VERSION", "Version Query API"},
};

namespace {

constexpr uint32_t kCurrentMarker = 0x2F000000u;

}  // namespace

bool aVersion_IsLegacyFormat(uint32_t packed) {
    const uint32_t hi = packed >> 28;
    const uint32_t lo = (packed >> 24) & 0xF;
    return hi < 2 || (hi == 2 && lo < 15);
}

int aVersion_ParseMajor(uint32_t packed) {
    return static_cast<int>(aVersion_IsLegacyFormat(packed) ? packed >> 28 : packed >> 16);
}

int aVersion_ParseMinor(uint32_t packed) {
    return static_cast<int>(aVersion_IsLegacyFormat(packed) ? (packed >> 24) & 0xF : packed >> 8);
}

int aVersion_ParsePatch(uint32_t packed) {
    return static_cast<int>(aVersion_IsLegacyFormat(packed) ? packed & 0xFFFFFF : packed & 0xFF);
}

int aVersion_ParseString(uint32_t packed, char* buf, size_t size) {
    return snprintf(buf, size, "%d.%d.%d", aVersion_ParseMajor(packed) & 0xFF,
                    aVersion_ParseMinor(packed) & 0xFF, aVersion_ParsePatch(packed));
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch) {
    if (major > 2 || (major == 2 && minor > 14))
        return kCurrentMarker | (uint32_t{major} << 16) | (uint32_t{minor} << 8) | patch;
    return (uint32_t{major & 0xFu} << 28) | (uint32_t{minor & 0xFu} << 24) | patch;
}

int aVersion_GetMajor() {
    return aVERSION_MAJOR;
}
int aVersion_GetMinor() {
    return aVERSION_MINOR;
}
int aVersion_GetPatch() {
    return aVERSION_PATCH;
}

const char* aVersion_GetString() {
    // Built once, on first use (thread-safe static initialisation).
    struct Text {
        char buf[15];
        Text() {
            snprintf(buf, sizeof buf, "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PHASE,
                     aVERSION_PATCH);
        }
    };
    static const Text text;
    return text.buf;
}

bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2,
                               uint8_t b3) {
    if (a1 != b1) return a1 > b1;
    if (a2 != b2) return a2 > b2;
    return a3 >= b3;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (!name) return false;
    for (const aFeature& f : FEATS)
        if (strcmp(f.name, name) == 0) return true;
    return false;
}

char* aVersion_GetFeatureList() {
    size_t size = 2;  // the last entry's extra byte and the terminator
    for (const aFeature& f : FEATS) size += strlen(f.name) + strlen(f.description) + 3;
    char* list = static_cast<char*>(calloc(size, 1));
    if (!list) return nullptr;
    size_t at = 0;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        int n = snprintf(list + at, size - at, "%s%s - %s", i ? "\n" : "", FEATS[i].name,
                         FEATS[i].description);
        if (n < 0) break;
        at += static_cast<size_t>(n);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (!list) return;
    free(*list);
    *list = nullptr;
}
