// The operations the command line runs. Updater implements them; tests of the dispatch replace them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fingerprint.h"
#include "linkSpec.h"

// Build text to version text.
using BuildList = std::map<std::string, std::string>;

class UpdaterOperations {
public:
    virtual ~UpdaterOperations() = default;

    virtual void Set_UEIBytes_Load(bool load_with_uei_bytes) = 0;
    virtual bool Get_Fingerprint(Fingerprint& out, std::string port, unsigned serial, std::string bird_file,
                                 unsigned baud, bool reset_after) = 0;
    // The build number stored, or 0 on failure.
    virtual unsigned Download_Firmware(unsigned serial, std::string build, bool override_validation,
                                       bool no_cal) = 0;
    virtual std::vector<DeviceInfo> Discover_LVNetwork_Devices(unsigned router_serial, linkType type) = 0;
    virtual std::vector<DeviceInfo> Discover_Devices(linkType type) = 0;
    virtual bool Recover_Firmware(std::string port, unsigned build, unsigned baud, unsigned serial,
                                  std::string bird_file, bool override_model_check) = 0;
    virtual bool Update_Firmware(unsigned serial, unsigned build, std::string bird_file, unsigned char module_address,
                                 unsigned router_serial, bool override_model_check) = 0;
    virtual BuildList Get_BuildList(unsigned serial) = 0;
    virtual BuildList Get_BuildListLocal(unsigned serial) = 0;
    virtual std::string Get_JWT(unsigned serial) = 0;
};
