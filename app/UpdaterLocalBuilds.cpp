// The store as the workflow opens it, the builds stored for a device (-L), and loading a build
// for the update and recovery procedures.
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "Updater.h"
#include "UpdaterStore.h"

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(root);
    } catch (const std::runtime_error& failure) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller, failure.what());
        return nullptr;
    }
}

BuildList Updater::Get_BuildListLocal(unsigned serial) {
    BuildList builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Get_BuildListLocal");
    if (!store) return builds;

    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        std::string build = item.name.substr(0, item.name.find(BIRD_FILE_EXTENSION));
        std::string version;
        std::string path = item.base_path + "/" + item.name;
        bool readable = item.IsValid() && BirdFile::VerifyFile(path);
        if (readable) {
            // A file with a good header can still be damaged beyond it; it is listed all the same,
            // with no version, so the operator sees it is there.
            try {
                version = BirdFile(path).GetVersion();
            } catch (const std::runtime_error&) {
                readable = false;
            }
        }
        if (!readable) {
            Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
        } else if (!version.empty()) {
            Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n", path.c_str());
        }
        builds.emplace(build, version);  // a build already listed keeps its first version
    }
    return builds;
}

BirdFile Updater::load_bird(const char* label, std::string bird_file, unsigned serial, unsigned build,
                            bool download_if_missing) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "load_bird");
    if (!store) return BirdFile();

    if (!bird_file.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", label, bird_file.c_str());
        return BirdFile(bird_file);
    }

    UpdaterStoreItem device = store->AddDevice(serial);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", label, build);
    const std::string file_name = std::to_string(build) + BIRD_FILE_EXTENSION;
    try {
        return device.ReadBirdFile(file_name);
    } catch (const std::runtime_error&) {
        if (!download_if_missing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(file_name);
}
