// UpdaterStore and UpdaterStoreItem: the local firmware store.
//
// The store is a directory tree: root/SSSSSSSS (one directory per module, named "%08X" by its
// serial number) holding the module's attribute file ".settings" and its BIRD files "NNNN.bird".
// UpdaterStore keeps only the root path and finds or adds module directories. UpdaterStoreItem is
// a value naming one entry (a module directory or a file in one) with the entry's attributes; it
// reads and writes files inside its entry. Files are replaced by writing a new file next to the
// old one and renaming it into place, so a reader never sees a partial file.
//
// Construction failures (a root or module directory that cannot be made) throw
// std::runtime_error. One thread at a time; diagnostics go to Log under DEBUG_Updater.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "api/aError.h"
#include "firmware/BirdFile.h"
#include "firmware/KeyValueStore.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_UNKNOWN = 2,
};

class UpdaterStoreItem {
  public:
    UpdaterStoreItem() = default;
    // Loads the attributes from basePath/name/.settings (created when missing).
    UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t type);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    // basePath + "/" + name.
    std::string Path() const;

    // Whether an entry of this item's directory has `fileName` inside its name.
    bool FileExists(const std::string& fileName) const;
    // Writes the bytes to Path()/fileName, replacing any earlier file as a whole. aErrNotFound
    // when the bytes are missing or the file cannot be created.
    aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length);
    // Throws std::runtime_error "Invalid bird <path>" when the header check fails, and
    // "Failed to load bird data" when loading fails.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    std::string basePath;
    std::string name;
    store_item_t type = STORE_ITEM_UNKNOWN;
    KeyValueStore attributes;
};

class UpdaterStore {
  public:
    // Creates the root directory when it does not exist.
    explicit UpdaterStore(const std::string& rootPath);

    const std::string& BasePath() const { return root_; }

    // Ensures root/"%08X" (or root/name) exists and returns its item with attributes loaded.
    UpdaterStoreItem AddDevice(uint32_t serialNumber);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Finds the root's entry named exactly "%08X" (or name) and fills `item` from it.
    bool FindDevice(uint32_t serialNumber, UpdaterStoreItem& item) const;
    bool FindDevice(const std::string& name, UpdaterStoreItem& item) const;

    // Appends one item per entry of the module's directory whose name does not begin with ".".
    // An unknown module appends nothing. Always true.
    bool FindLocalBuilds(uint32_t serialNumber, std::vector<UpdaterStoreItem>& items) const;

  private:
    std::string root_;
};
