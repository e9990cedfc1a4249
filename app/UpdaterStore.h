// The firmware store: one directory per device (named by its serial number as eight upper-case
// hex digits) holding the downloaded BIRD files and the device's attributes file.
#pragma once

#include <string>
#include <vector>

#include "UpdaterStoreItem.h"

class UpdaterStore {
public:
    // Makes sure the root directory exists; throws std::runtime_error when it cannot.
    explicit UpdaterStore(const std::string& root);

    const std::string& BasePath() const { return root_; }

    // Makes sure root/name exists (throwing like the constructor) and returns its item, whose
    // attributes file is created when missing.
    UpdaterStoreItem AddDevice(unsigned serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Looks for an entry of the root whose full path contains the name; fills `item` (which may be
    // null) with the first one found in listing order. Creates nothing.
    bool FindDevice(unsigned serial, UpdaterStoreItem* item);
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);

    // Appends one item per entry of the device's directory whose name does not begin with ".";
    // appends nothing when the device has no directory.
    bool FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items);

private:
    std::string root_;
};
