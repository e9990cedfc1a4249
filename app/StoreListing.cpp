#include "StoreListing.h"

#include <stdexcept>
#include <vector>

#include "Log.h"
#include "qFile.h"

namespace {

constexpr unsigned STORE_DIRECTORY_MODE = 0755;
// Hidden entries (".", "..", ".settings", files being written) are never store items.
constexpr char HIDDEN_MARK = '.';

// The entry as an item: the directory that holds it, its own name, its kind and its attributes.
UpdaterStoreItem item_of(const qDirectoryListData* entry) {
    std::string full_path(entry->path);
    size_t separator = full_path.rfind('/');
    std::string base_path = separator == std::string::npos ? std::string() : full_path.substr(0, separator);
    std::string name = separator == std::string::npos ? full_path : full_path.substr(separator + 1);
    return UpdaterStoreItem(base_path, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
}

}  // namespace

void _ensure_directory(const std::string& path) {
    if (qDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (qFile_Exists(path.c_str())) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    qErr error = qDirectory_Ensure(path.c_str(), STORE_DIRECTORY_MODE);
    if (error != qErrNone) {
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(static_cast<int>(error)));
    }
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

bool _find_item(const qDirectoryListData* entry, void* context) {
    result_t& result = *static_cast<result_t*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size), result.name.c_str());
    if (std::string(entry->path).find(result.name) == std::string::npos) return true;
    result.found = true;
    if (result.item != nullptr) *result.item = item_of(entry);
    return false;
}

bool _find_items(const qDirectoryListData* entry, void* context) {
    auto& items = *static_cast<std::vector<UpdaterStoreItem>*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, static_cast<int>(entry->isDirectory),
             static_cast<int>(entry->size));
    std::string full_path(entry->path);
    size_t separator = full_path.rfind('/');
    std::string name = separator == std::string::npos ? full_path : full_path.substr(separator + 1);
    if (name.empty() || name[0] == HIDDEN_MARK) return true;
    items.push_back(item_of(entry));
    return true;
}

bool SearchDirectory(const std::string& directory, result_t& result) {
    qDirectory_List(directory.c_str(), _find_item, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
             result.name.c_str());
    return result.found;
}
