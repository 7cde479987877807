// KeyValueStore: a module's attribute file held in memory.
//
// The file is plain text, one "key=value" line per entry, written in ascending byte order of the
// keys. The store keeps the entries in a sorted map, offers typed getters with defaults and
// setters that format numbers as text, tracks whether anything changed, and writes the whole map
// back on Save, stamping "UPDATED_TIME" when it changed. A save replaces the file in one rename,
// so a reader sees the old file or the new one, never a partial one.
//
// Objects are values (copying copies path, entries and the modified flag). One thread at a time;
// diagnostics go to Log under DEBUG_Attributes.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "api/aError.h"

class KeyValueStore {
  public:
    static const char* const KEY_CREATED_TIME;  // "CREATED_TIME"
    static const char* const KEY_UPDATED_TIME;  // "UPDATED_TIME"
    static const char* const DEFAULT_FILENAME;  // ".settings"
    static constexpr size_t LINE_BUFFER_SIZE = 2048;

    KeyValueStore() = default;
    // An empty store followed at once by Load(path).
    explicit KeyValueStore(const std::string& path);

    // Reads the file into the map (kept entries stay unless the file names them). A missing file
    // is created with CREATED_TIME and UPDATED_TIME. Returns the result of closing the file.
    aErr Load(const std::string& path);
    // Writes every entry; without a path the remembered one (or ".settings") is used.
    void Save();
    void Save(const std::string& path);

    // Typed getters: the default when the value is missing or empty. A missing key is inserted
    // with an empty value (written by the next save); the insertion does not set modified.
    int32_t GetInt(const std::string& key, int32_t defaultValue = 0);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue = 0);
    bool GetBOOL(const std::string& key, bool defaultValue = false);
    double GetDouble(const std::string& key, double defaultValue = 0.0);
    // The value when the key exists, even when empty; never inserts.
    std::string GetString(const std::string& key, const std::string& defaultValue = "") const;
    // The value's text, or null when the key does not exist; never inserts.
    const char* operator[](const std::string& key) const;

    // Setters: each sets modified when the stored text changes (a missing key counts as empty).
    bool Add(const std::string& key, int32_t value);  // "%d"
    bool Add(const std::string& key, double value);   // "%f"
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);  // "0x%08X"
    // Copies every entry of `other`; modified as soon as one entry is copied.
    bool Add(const KeyValueStore& other);
    bool Clear();

    // Parses one line of the file. False for lines that hold no entry (too short, comments,
    // blank). Reads at most `length` bytes of `line`.
    static bool ParseLine(const char* line, size_t length, std::string* key, std::string* value);
    // The current local time as ctime text without its newline.
    static std::string TimeStamp();

    bool modified() const { return modified_; }
    const std::string& path() const { return path_; }
    const std::map<std::string, std::string>& entries() const { return entries_; }

  private:
    std::string* Lookup(const std::string& key);
    bool Set(const std::string& key, const std::string& text);

    std::string path_;
    std::map<std::string, std::string> entries_;
    bool modified_ = false;
};
