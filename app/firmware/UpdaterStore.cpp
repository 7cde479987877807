#include "firmware/UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "cli/Log.h"
#include "engine/aDirectory.h"
#include "engine/aFile.h"
#include "firmware/ReplaceFile.h"

namespace {

// How a listing callback compares an entry's name with the searched text.
enum class Match { Exact, Contains };

struct result_t {
    const char* search;
    Match match;
    const std::string* directory;  // the listed directory, whose entries are compared by name
    bool found;
    UpdaterStoreItem* item;  // null for FileExists
};

struct items_t {
    const std::string* directory;
    std::vector<UpdaterStoreItem>* items;
};

// The entry's own name: the listing's path with the listed directory and "/" taken off.
const char* EntryName(const aDirectoryListData* entry, const std::string& directory) {
    const char* path = entry->path;
    if (strncmp(path, directory.c_str(), directory.size()) == 0 && path[directory.size()] == '/') {
        return path + directory.size() + 1;
    }
    const char* slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

bool IsDotEntry(const char* name) {
    return !strcmp(name, ".") || !strcmp(name, "..");
}

bool _find_item(const aDirectoryListData* entry, void* userData) {
    result_t* result = static_cast<result_t*>(userData);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             int(entry->isDirectory), int(entry->size), result->search);
    const char* name = EntryName(entry, *result->directory);
    if (IsDotEntry(name)) return true;
    const bool match = result->match == Match::Exact ? strcmp(name, result->search) == 0
                                                     : strstr(name, result->search) != nullptr;
    if (!match) return true;
    result->found = true;
    if (result->item) {
        result->item->basePath = *result->directory;
        result->item->name = name;
        result->item->type = entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE;
    }
    return false;
}

bool _find_items(const aDirectoryListData* entry, void* userData) {
    items_t* found = static_cast<items_t*>(userData);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             int(entry->isDirectory), int(entry->size));
    const char* name = EntryName(entry, *found->directory);
    if (name[0] == '.') return true;  // ".", ".." and the store's own files
    found->items->emplace_back(*found->directory, name,
                               entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

void _ensure_directory(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str())) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    }
    aErr err = aDirectory_Ensure(path.c_str(), 0755);
    if (err != aErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(err));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

std::string SerialName(uint32_t serialNumber) {
    char name[9];
    snprintf(name, sizeof name, "%08X", serialNumber);
    return name;
}

std::string SettingsPath(const std::string& entryPath) {
    return BuildPath(entryPath.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

}  // namespace

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem(const std::string& basePath_, const std::string& name_,
                                   store_item_t type_)
    : basePath(basePath_), name(name_), type(type_) {
    attributes.Load(SettingsPath(Path()));
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(basePath.c_str(), name.c_str(), nullptr);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    const std::string directory = Path();
    result_t result{fileName.c_str(), Match::Contains, &directory, false, nullptr};
    aDirectory_List(directory.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", fileName.c_str());
    return result.found;
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length) {
    if (!bytes) return aErrNotFound;
    ReplaceFile out(BuildPath(Path().c_str(), fileName.c_str(), nullptr));
    if (!out.file()) return aErrNotFound;
    size_t written = 0;
    aErr err = aFile_Write(out.file(), bytes, length, &written);
    if (err == aErrNone && written != length) err = aErrWrite;
    if (err == aErrNone) err = out.Commit();
    return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    const std::string path = BuildPath(Path().c_str(), fileName.c_str(), nullptr);
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const std::string& rootPath) : root_(rootPath) {
    _ensure_directory(root_);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serialNumber) {
    return AddDevice(SerialName(serialNumber));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    _ensure_directory(BuildPath(root_.c_str(), name.c_str(), nullptr));
    return UpdaterStoreItem(root_, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serialNumber, UpdaterStoreItem& item) const {
    return FindDevice(SerialName(serialNumber), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem& item) const {
    // Entries are compared by their own name, so a root whose path happens to contain the
    // searched text, or a stray "0012ABCD.old" beside "0012ABCD", is never taken for the module.
    UpdaterStoreItem found;
    result_t result{name.c_str(), Match::Exact, &root_, false, &found};
    aDirectory_List(root_.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", name.c_str());
    if (!result.found) return false;
    found.attributes.Load(SettingsPath(found.Path()));
    item = std::move(found);
    return true;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serialNumber,
                                   std::vector<UpdaterStoreItem>& items) const {
    UpdaterStoreItem device;
    if (!FindDevice(serialNumber, device)) return true;
    const std::string directory = device.Path();
    items_t found{&directory, &items};
    aDirectory_List(directory.c_str(), _find_items, &found);
    return true;
}
