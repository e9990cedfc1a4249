// Writing firmware into a running module (-U): the image is chosen and loaded, the module reached
// directly or through a router module, the image checked against it, the module's loader driven
// through the upgrade entity, and the transfer recorded in the device's attributes.
#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "BuildNumber.h"
#include "DeviceInterrogation.h"
#include "Log.h"
#include "Lumenvane-C.h"
#include "SystemClass.h"
#include "TimeText.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterEntity.h"
#include "qDefs.h"
#include "qTime.h"

using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::SystemClass;

namespace {

constexpr const char* KEY_LATEST_DOWNLOAD = "LATEST_DOWNLOAD";
constexpr const char* KEY_LATEST_TRANSFER = "LATEST_TRANSFER";
constexpr const char* KEY_LAST_TRANSFER_DATE = "LAST_TRANSFER_DATE";
constexpr const char* LOAD_LABEL = "Updating";

constexpr uint8_t UPGRADE_ENTITY_INDEX = 0;
constexpr uint8_t SYSTEM_ENTITY_INDEX = 0;
constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t ROUTER_ADDRESS_UNKNOWN = 0;

// After the loader starts, a module that restarts into it drops its link within moments of its
// answer; the link is watched this long before the module is taken to have stayed.
constexpr std::chrono::milliseconds LOADER_RESTART_GRACE{1000};
constexpr uint64_t LOADER_RESTART_POLL_MS = 20;
// Reconnecting to the restarted module: the USB library's view of the bus is renewed before
// every third attempt, so a module that came back under a new bus address is seen.
constexpr unsigned USB_REFRESH_PERIOD = 3;
constexpr uint64_t RECONNECT_PAUSE_MS = 1000;

// Watches the link for LOADER_RESTART_GRACE; true when it dropped.
bool link_dropped(Module& module) {
    const auto deadline = std::chrono::steady_clock::now() + LOADER_RESTART_GRACE;
    while (module.isConnected()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        qTime_MSSleep(LOADER_RESTART_POLL_MS);
    }
    return true;
}

// Finds the restarted module again over the transport it was reached by.
bool reconnect_after_restart(Module& module, linkType type, unsigned serial) {
    module.disconnect();
    for (unsigned attempt = 1; attempt <= UpdaterEntity::CONNECT_ATTEMPTS; ++attempt) {
        if (attempt % USB_REFRESH_PERIOD == 0) {
            Log::log(DEBUG_APP, "Failed enumeration after 3 tries, refreshing libusb context.\n");
            Lumenvane_libusb_exit();
        }
        module.discoverAndConnect(type, serial);
        if (module.isConnected()) return true;
        if (attempt < UpdaterEntity::CONNECT_ATTEMPTS) qTime_MSSleep(RECONNECT_PAUSE_MS);
    }
    return false;
}

// The build to write when no file was named: the one asked for, else the server's newest when
// the store holds it, else the newest download, else the last one written. 0 when none.
unsigned choose_build(UpdaterDisplayInterface& display, UpdaterStoreItem& device, unsigned serial, unsigned build,
                      const std::string& server_url) {
    if (build == 0) {
        std::string build_text;
        std::string firmware;
        UpdateServerRequest::QueryBuild(serial, build_text, firmware, server_url.c_str());
        if (!ParseBuildNumber(build_text, build)) {
            Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", build_text.c_str());
            build = 0;
        }
        if (build != 0) {
            try {
                device.ReadBirdFile(std::to_string(build) + BIRD_FILE_EXTENSION);
            } catch (const std::runtime_error&) {
                build = 0;
                display.message(UpdaterDisplayInterface::LEVEL_INFO,
                                "New firmware is available.  Updater will proceed if valid firmware is found locally.");
            }
        }
    }
    if (build == 0) {
        build = static_cast<unsigned>(std::max(device.attributes.GetInt(KEY_LATEST_DOWNLOAD, 0), 0));
        if (build != 0) display.message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = static_cast<unsigned>(std::max(device.attributes.GetInt(KEY_LATEST_TRANSFER, 0), 0));
        if (build != 0) display.message(UpdaterDisplayInterface::LEVEL_INFO, "Updating with the Latest Transfer");
    }
    return build;
}

// Connects the target through the router module: the target's bus address is found with the
// router's scan when not given. False (with the message printed) when the update cannot go on;
// `result` is the connection's outcome otherwise.
bool connect_routed(Updater& updater, Module& target, unsigned serial, unsigned char module_address,
                    unsigned router_serial, qErr& result) {
    UpdaterDisplayInterface& display = updater.display;
    if (module_address == 0) {
        std::vector<DeviceInfo> devices = updater.Discover_LVNetwork_Devices(router_serial, linkTypeNone);
        if (devices.empty()) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Unable to find modules on Network");
            return false;
        }
        uint16_t found = 0;
        for (const DeviceInfo& device : devices) {
            if (device.spec.serialNumber == serial) found = device.network_address;
        }
        if (found == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Module address required for indirect firmware update, could not find serial number "
                            "[0x%08X] on network",
                            serial);
            return false;
        }
        target.setModuleAddress(static_cast<uint8_t>(found));
    }

    Module router(ROUTER_ADDRESS_UNKNOWN, ANY_MODEL);
    result = _disableEther(router, display);
    if (result != qErrNone) return true;
    result = router.connect(linkTypeUSB, router_serial);
    if (result == qErrNotFound) result = router.connect(linkTypeTCPIP, router_serial);
    if (result != qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to link module [%08X]", router_serial);
        return false;
    }
    // The target shares the router's link, which outlives the router object.
    result = target.connectThroughLinkModule(&router);
    if (result != qErrNone) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
    return true;
}

// Records the transfer in the device's own attributes file.
void record_transfer(UpdaterStore& store, UpdaterStoreItem& device, unsigned serial, const std::string& name) {
    // A device without a store entry gets one, so the record never lands beside the caller.
    if (!device.IsValid()) {
        try {
            device = store.AddDevice(serial);
        } catch (const std::runtime_error& failure) {
            Log::log(DEBUG_ALWAYS, "Could not record the transfer: %s\n", failure.what());
            return;
        }
    }
    device.attributes.Add(KEY_LATEST_TRANSFER, name);
    device.attributes.Add(KEY_LAST_TRANSFER_DATE, CurrentTimeText());
    device.attributes.Save(nullptr);
    if (device.attributes.IsDirty()) {
        Log::log(DEBUG_ALWAYS, "Could not record the transfer in %s\n", device.attributes.Path().c_str());
    }
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Module& module, unsigned serial) {
    if (image.num_blocks == 0) return false;
    if (!image.has_serial_offsets && !image.ValidateSerialNumber(serial)) return false;

    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, SYSTEM_ENTITY_INDEX);
    uint32_t module_serial = 0;
    qErr result = system.getSerialNumber(&module_serial);
    if (module_serial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n", result);
        return false;
    }
    uint8_t model = 0;
    result = system.getModel(&model);
    const char* name = qDefs_GetModelName(model);
    if (!image.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Connected device model and Bird file model do not match [%s] (%d)", name, result);
        return false;
    }
    return true;
}

qErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& image) {
    UpdaterEntity upgrade;
    upgrade.init(&module, UPGRADE_ENTITY_INDEX, true, false);
    qErr result = upgrade.LoaderInit();
    if (result != qErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", result, qError_GetErrorText(result));
        return result;
    }

    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_LOADER);
    const int count = static_cast<int>(blocks.size());
    display.display_progress(true);
    int k = 1;
    unsigned total = 0;
    uint16_t blockSize = 0;
    for (const BirdBlock& block : blocks) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader block %d of %d, %d bytes", k, count,
                        static_cast<int>(block.length));
        result = upgrade.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (result != qErrNone && result != qErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", result, qError_GetErrorText(result));
            break;
        }
        result = upgrade.LoaderTransfer(block.data, block.length);
        if (result != qErrNone) {
            // A loader missing a block must never be started.
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", result, qError_GetErrorText(result));
            break;
        }
        total += block.length;
        ++k;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes", k - 1,
                    static_cast<int>(total));
    display.display_progress(false);

    if (result == qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Starting Load on Device");
        result = upgrade.LoaderStart();
        if (result == qErrTimeout) {
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
            result = qErrNone;
        } else if (result != qErrNone) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error starting loader [%d, %s]", result,
                            qError_GetErrorText(result));
        }
    }
    return result;
}

qErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& image, bool routed,
                        bool uei_bytes) {
    UpdaterEntity upgrade;
    upgrade.init(&module, UPGRADE_ENTITY_INDEX, true, routed);
    // Without the byte-array path the data packets serve, so a failed check only leaves them in use.
    if (uei_bytes && upgrade.CheckUEIDataSupport() == qErrNone) upgrade.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path.c_str());
    const std::vector<BirdBlock> blocks = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    const unsigned count = static_cast<unsigned>(blocks.size());
    qErr result = qErrNone;
    unsigned k = 1;
    unsigned total = 0;
    for (const BirdBlock& block : blocks) {
        for (unsigned attempt = 0; attempt < UpdaterEntity::BLOCK_RETRIES; ++attempt) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring firmware block %u of %u, %d bytes", k,
                            count, static_cast<int>(block.length));
            if (attempt > 0) display.message(UpdaterDisplayInterface::LEVEL_INFO, "  Retry %d", attempt);
            uint16_t blockSize = 0;
            result = upgrade.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (result != qErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", result,
                         qError_GetErrorText(result));
                break;
            }
            result = upgrade.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (result == qErrNone) break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", result, qError_GetErrorText(result));
        }
        if (result != qErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += block.length;
        ++k;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes",
                    static_cast<int>(k - 1), static_cast<int>(total));
    if (result == qErrNone) result = upgrade.LoaderReboot(display);
    return result;
}

bool Updater::Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                              unsigned router_serial, bool override_model_check) {
    if (serial == 0) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storage_directory, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem device;
    store->FindDevice(serial, &device);

    const uint64_t started = qTime_GetMSTicks();
    if (bird_file.empty()) {
        build = choose_build(display, device, serial, build, server_url);
        if (build == 0) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile image;
    try {
        image = load_bird(LOAD_LABEL, bird_file, serial, build, false);
    } catch (const std::exception&) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }

    if (image.has_serial_offsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware...");
        if (!image.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module module(module_address, ANY_MODEL);
    qErr result = _disableEther(module, display);
    linkType transport = linkTypeUSB;
    if (result == qErrNone && router_serial != 0) {
        if (!connect_routed(*this, module, serial, module_address, router_serial, result)) return false;
    } else if (result == qErrNone) {
        result = module.connect(linkTypeUSB, serial);
        if (result == qErrNotFound) {
            transport = linkTypeTCPIP;
            result = module.connect(linkTypeTCPIP, serial);
        }
        if (result != qErrNone) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to connect to module [%08X]", serial);
        }
    }

    const bool reached = result == qErrNone;
    if (result == qErrNone && !override_model_check && !_validate_birdfile(display, image, module, serial)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Birdfile failed validation");
        return false;
    }
    if (result == qErrNone) result = _transfer_loader(display, module, image);
    if (result == qErrNone && link_dropped(module)) {
        // The module restarted into its new loader; a module that does not come back would only
        // fail the firmware phase later on a dead link, so it is reported here.
        if (!reconnect_after_restart(module, transport, serial)) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                            "Module [%08X] did not come back after its loader started", serial);
            result = qErrConnection;
        }
    }
    if (result == qErrNone) {
        result = _transfer_firmware(display, module, image, router_serial != 0, load_with_uei_bytes);
    }

    if (result == qErrNone) {
        const std::string name = !bird_file.empty() ? bird_file : std::to_string(build) + BIRD_FILE_EXTENSION;
        record_transfer(*store, device, serial, name);
        Log::log(DEBUG_Updater, "Updating device firmware: \n");
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                        static_cast<double>(qTime_GetMSTicks() - started) / 1000.0);
    } else {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", result);
        // The loader and transfer steps log their detail; the operator is told in one line.
        if (reached) display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Firmware update of [%08X] failed [%d, %s]",
                                     serial, result, qError_GetErrorText(result));
    }
    return result == qErrNone;
}
