// The update workflow: discovery, downloads, build lists, JWT, update and recovery.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BirdFile.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterOperations.h"
#include "UpdaterStore.h"
#include "qError.h"

namespace Tolveric::Lumenvane {
class Module;
}

class Updater : public UpdaterOperations {
public:
    // Which boot loader the last fingerprint found.
    enum ChipKind : uint8_t { CHIP_UNKNOWN = 0, CHIP_IMX = 1, CHIP_LPC = 2 };

    Updater(const char* server_url, const char* storage_directory, UpdaterDisplayInterface& display);

    void Set_UEIBytes_Load(bool load_with_uei_bytes) override;
    bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial, std::string bird_file, unsigned baud,
                         bool reset_after) override;
    // The build number stored in the device's directory, or 0 on failure. An empty build asks for
    // the newest one.
    unsigned Download_Firmware(unsigned serial, std::string build, bool override_validation, bool no_cal) override;
    // The same for the device and build the server names for a chip's fingerprint.
    unsigned Download_Firmware(Fingerprint fingerprint, std::string build, bool override_validation);
    // A named file, or the stored build (downloaded first when missing and allowed); throws
    // std::runtime_error when no image can be had.
    BirdFile load_bird(const char* label, std::string bird_file, unsigned serial, unsigned build,
                       bool download_if_missing);
    std::vector<DeviceInfo> Discover_LVNetwork_Devices(unsigned router_serial, linkType type) override;
    std::vector<DeviceInfo> Discover_Devices(linkType type) override;
    bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial, std::string bird_file,
                          bool override_model_check) override;
    bool Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                         unsigned router_serial, bool override_model_check) override;
    BuildList Get_BuildList(unsigned serial) override;
    BuildList Get_BuildListLocal(unsigned serial) override;
    std::string Get_JWT(unsigned serial) override;

    std::string server_url;
    std::string storage_directory;
    UpdaterDisplayInterface& display;
    uint8_t chip_kind = CHIP_UNKNOWN;
    bool load_with_uei_bytes = false;
};

// File names of stored builds: the decimal build number followed by this.
constexpr const char* BIRD_FILE_EXTENSION = ".bird";

// The store on root, or none when it cannot be had (reported with the caller's name).
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display, const std::string& root,
                                                  const char* caller);
// True when the update server answers; otherwise says so on the display.
bool _ping_server(UpdaterDisplayInterface& display, const std::string& server_url);
// True when the server lists the build for the device.
bool _valid_build(unsigned serial, unsigned build, const char* server_url);

// Steps of the firmware update, shared with the recovery procedure.
// True when the image may go into this module: it has blocks, was made for this serial number (or
// for any), and the connected module has that serial number and the image's model.
bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Tolveric::Lumenvane::Module& module,
                        unsigned serial);
// Starts the module's loader session, sends the image's loader blocks and starts that loader.
qErr _transfer_loader(UpdaterDisplayInterface& display, Tolveric::Lumenvane::Module& module, BirdFile& image);
// Sends every firmware block (a few tries each) and reboots the module into the new firmware.
qErr _transfer_firmware(UpdaterDisplayInterface& display, Tolveric::Lumenvane::Module& module, BirdFile& image,
                        bool routed, bool uei_bytes);
