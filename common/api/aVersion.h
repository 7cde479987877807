// aVersion: packed firmware version words, the library's own version and its feature list.
//
// A module reports its firmware version as one 32-bit word in a legacy layout (major and minor in
// 4 bits each, a 24-bit patch) or the current one (marker 0x2F, then major, minor and patch bytes).
// The library version text is built once and owned by the library; the feature list text is
// allocated for the caller, who frees it with aVersion_DestroyFeatureList. Any thread may call
// these functions.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int aVERSION_MAJOR = 2;
constexpr int aVERSION_MINOR = 12;
constexpr int aVERSION_PATCH = 1;
constexpr const char* aVERSION_PHASE = ".";

// One advertised library feature.
struct aFeature {
    const char* name;
    const char* description;
};
constexpr size_t NUM_FEATS = 1;
extern const aFeature FEATS[NUM_FEATS];

// True when the word is in the legacy layout: bits 31-28 below 2, or 2 with bits 27-24 below 15.
bool aVersion_IsLegacyFormat(uint32_t packed);

// Legacy: bits 31-28, 27-24 and 23-0. Current: packed >> 16, packed >> 8 (not masked; use the low
// byte) and bits 7-0.
int aVersion_ParseMajor(uint32_t packed);
int aVersion_ParseMinor(uint32_t packed);
int aVersion_ParsePatch(uint32_t packed);

// Writes "major.minor.patch" (low bytes of major and minor) like snprintf and returns its result.
int aVersion_ParseString(uint32_t packed, char* buf, size_t size);

// The current layout for major > 2, or major 2 with minor > 14; else the legacy layout (major and
// minor keep their low 4 bits).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

int aVersion_GetMajor();
int aVersion_GetMinor();
int aVersion_GetPatch();
// "2.12.1"; the same buffer on every call.
const char* aVersion_GetString();

// Whether (a1, a2, a3) >= (b1, b2, b3) in lexicographic order.
bool aVersion_IsAtLeastCompare(uint8_t a1, uint8_t a2, uint8_t a3, uint8_t b1, uint8_t b2,
                               uint8_t b3);
// Whether this library is at least the given version.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// Whether `name` is exactly the name of an advertised feature (false for null).
bool aVersion_HasFeature(const char* name);
// A new text "name - description" per feature, "\n" between entries; null when memory is short.
char* aVersion_GetFeatureList();
// Frees a feature list and nulls the pointer; null pointers are ignored.
void aVersion_DestroyFeatureList(char** list);
