// Fuzzes attribute-file parsing: loads the input as an attribute file, runs the getters, then
// saves and reloads it and checks that every entry that can survive a round trip did.
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "engine/aDirectory.h"
#include "firmware/KeyValueStore.h"

namespace {
std::string sDir;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzLogToNowhere();
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/hvfuzz-XXXXXX";
    if (!mkdtemp(&pattern[0])) abort();
    sDir = pattern;
    atexit([] { aDirectory_DeleteTree(sDir.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MemoryFile input(data, size);
    if (!input.ok()) return 0;
    KeyValueStore store(input.path());
    KeyValueStore original = store;
    for (const auto& entry : original.entries()) {
        const std::string& key = entry.first;
        if (key.empty() || key.find('=') != std::string::npos) abort();
        if (store.GetString(key, "x") != entry.second) abort();
    }
    (void)store.GetInt("LATEST_DOWNLOAD");
    (void)store.GetHex("H");
    (void)store.GetDouble("D");
    (void)store.GetBOOL("B");

    const std::string path = sDir + "/settings";
    original.Save(path);
    KeyValueStore again(path);
    for (const auto& entry : original.entries()) {
        // A line longer than the reader's buffer ends the read, and a key beginning with "#" is
        // written as a comment line: neither (nor anything after the long line) can come back.
        if (entry.first.size() + entry.second.size() + 2 >= KeyValueStore::LINE_BUFFER_SIZE) break;
        if (entry.first[0] == '#') continue;
        const char* value = again[entry.first];
        if (!value || entry.second != value) abort();
    }
    return 0;
}
