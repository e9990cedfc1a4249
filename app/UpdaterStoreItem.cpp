#include "UpdaterStoreItem.h"

#include <stdexcept>

#include "BuildPath.h"
#include "ReplaceFile.h"
#include "StoreListing.h"

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& entry_name, store_item_t entry_kind)
    : base_path(base), name(entry_name), kind(entry_kind) {
    // Without a base path or a name the attributes path would point at the file system's root.
    if (IsValid()) attributes.Load(BuildPath(base_path, name, KeyValueStore::DEFAULT_FILENAME).c_str());
}

qErr UpdaterStoreItem::WriteFile(const std::string& file_name, const void* data, size_t length) {
    // An item without a place (a default one) has no directory: its path would point at the
    // file system's root.
    if (data == nullptr || !IsValid()) return qErrNotFound;
    return ReplaceFile(BuildPath(base_path, name, file_name), [&](qFile* file) {
        size_t written = 0;
        qErr result = qFile_Write(file, data, length, &written);
        // A short count is a failed write too, though the primitive reports it only when nothing
        // at all was written.
        if (result == qErrNone && written != length) result = qErrIO;
        return result;
    });
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& file_name) const {
    std::string path = BuildPath(base_path, name, file_name);
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

bool UpdaterStoreItem::FileExists(const std::string& file_name) const {
    result_t result;
    result.name = file_name;
    return SearchDirectory(BuildPath(base_path, name), result);
}
