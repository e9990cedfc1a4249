// Turns a module described on the command line into what the bus serves: its USB identity and
// the device model behind its endpoints.
#pragma once

#include <memory>

#include "DeviceModel.h"
#include "LauncherOptions.h"
#include "UsbIdentity.h"

namespace usb_testbed {

struct ModuleDevice {
    usb_emulation::UsbIdentity identity;
    std::shared_ptr<usb_emulation::DeviceModel> model;
};

// Throws std::invalid_argument for settings the module refuses.
ModuleDevice make_module_device(const ModuleSpec& spec);

}  // namespace usb_testbed
