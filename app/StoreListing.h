// How the firmware store searches and lists its directories; shared by UpdaterStore and
// UpdaterStoreItem, not meant for other callers.
#pragma once

#include <string>

#include "UpdaterStoreItem.h"
#include "qDirectory.h"

// The record a single-item search passes through a directory listing.
struct result_t {
    bool found = false;
    std::string name;                   // the text searched for
    UpdaterStoreItem* item = nullptr;  // filled with the entry found, when given
};

// Makes sure path is a directory, creating it (and its parents) with mode 0755 when missing.
// Throws std::runtime_error when it is a file or cannot be made.
void _ensure_directory(const std::string& path);

// Listing callback (context: result_t): stops at the first entry whose full path contains the
// text searched for.
bool _find_item(const qDirectoryListData* entry, void* context);

// Listing callback (context: std::vector<UpdaterStoreItem>): collects every entry whose name
// does not begin with ".".
bool _find_items(const qDirectoryListData* entry, void* context);

// Lists `directory` for result.name and logs the outcome; true when found.
bool SearchDirectory(const std::string& directory, result_t& result);
