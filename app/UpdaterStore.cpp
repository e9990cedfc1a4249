#include "UpdaterStore.h"

#include <cstdio>

#include "BuildPath.h"
#include "StoreListing.h"

namespace {
// Device directories are named by the serial number as eight upper-case hex digits.
std::string device_name(unsigned serial) {
    char name[9];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}
}  // namespace

UpdaterStore::UpdaterStore(const std::string& root) : root_(root) { _ensure_directory(root_); }

UpdaterStoreItem UpdaterStore::AddDevice(unsigned serial) { return AddDevice(device_name(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    _ensure_directory(BuildPath(root_, name));
    return UpdaterStoreItem(root_, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(unsigned serial, UpdaterStoreItem* item) { return FindDevice(device_name(serial), item); }

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) {
    result_t result;
    result.name = name;
    result.item = item;
    return SearchDirectory(root_, result);
}

bool UpdaterStore::FindLocalBuilds(unsigned serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (FindDevice(serial, &device)) {
        qDirectory_List(BuildPath(device.base_path, device.name).c_str(), _find_items, &items);
    }
    return true;
}
