// A small persistent dictionary of text keys and values, kept in a file of "key=value" lines.
#pragma once

#include <map>
#include <string>

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";

    // With a path the file is loaded at once (and created when missing); null gives an empty
    // store with no path.
    explicit KeyValueStore(const char* path = nullptr);

    // Merges the file's entries into the store and records the path. A missing file is created,
    // stamped with CREATED_TIME (and UPDATED_TIME by the save that creates it). A null or empty
    // path does nothing.
    void Load(const char* path);
    // Writes every entry; null uses the recorded path, or ".settings" when none is recorded.
    // A changed store is stamped with UPDATED_TIME first. The file is replaced in one step, so
    // a reader never sees it half written; a store that could not be saved stays dirty.
    void Save(const char* path = nullptr);

    // The value, or null for a missing key. Valid until the entry changes.
    const char* operator[](const std::string& key) const;

    // These four create a missing key with an empty value (without making the store dirty) and
    // give the default when the value is missing or empty.
    int GetInt(const std::string& key, int default_value);
    unsigned GetHex(const std::string& key, unsigned default_value);
    bool GetBOOL(const std::string& key, bool default_value);
    double GetDouble(const std::string& key, double default_value);
    // The default (null gives "") only for a missing key; never creates one.
    std::string GetString(const std::string& key, const char* default_value) const;

    // Each Add makes the store dirty only when the stored text changes.
    bool Add(const std::string& key, int value);                 // "%d"
    bool Add(const std::string& key, double value);              // "%f"
    bool Add(const std::string& key, const char* value);         // null stores ""
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, unsigned value);         // "0x%08X"
    // Copies every entry of the other store, replacing equal keys.
    bool Add(const KeyValueStore& other);
    bool Clear();

    const std::string& Path() const { return path_; }
    bool IsDirty() const { return dirty_; }
    const std::map<std::string, std::string>& Entries() const { return entries_; }

private:
    // The value of a key, created empty when missing.
    const std::string& ValueOf(const std::string& key);
    void ParseLine(const std::string& line);

    std::string path_;
    std::map<std::string, std::string> entries_;
    bool dirty_ = false;
};
