// One entry of the firmware store (a device directory, or a file or directory inside one) with
// the attributes kept beside it.
#pragma once

#include <cstddef>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "qError.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2,  // no entry: a default-constructed item
};

class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    // Loads the attributes from base_path/name/.settings, creating that file when it is missing
    // and its directory exists. An item without a base path or a name gets empty attributes.
    UpdaterStoreItem(const std::string& base_path, const std::string& name, store_item_t kind);

    bool IsValid() const { return !base_path.empty() && !name.empty(); }

    // Replaces base_path/name/file_name with exactly these bytes, in one step: a reader sees the
    // old file or the new one. qErrNotFound when data is null, the item is not valid or the file
    // cannot be created; otherwise the code of the failing write, sync or rename.
    qErr WriteFile(const std::string& file_name, const void* data, size_t length);
    // Throws std::runtime_error "Invalid bird <path>" when the header check fails, and the
    // BirdFile's own exception when the file cannot be loaded.
    BirdFile ReadBirdFile(const std::string& file_name) const;
    // True when the item's directory has an entry whose full path contains file_name.
    bool FileExists(const std::string& file_name) const;

    std::string base_path;  // the directory that holds the entry
    std::string name;       // the entry's own name, e.g. 40F5849A or 99528558.bird
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore attributes;
};
