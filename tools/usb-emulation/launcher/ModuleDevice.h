// Turns a module described on the command line into what the bus serves: its USB identity and
// the device model behind its endpoints.
#pragma once

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "DeviceModel.h"
#include "LauncherOptions.h"
#include "TraceLog.h"
#include "UsbFaults.h"
#include "UsbIdentity.h"
#include "VirtualModuleDevice.h"

namespace usb_testbed {

struct ModuleDevice {
    usb_emulation::UsbIdentity identity;
    usb_emulation::UsbFaults faults;
    std::unique_ptr<virtual_module::LinkTrace> trace;  // outlives the model, which reports to it
    std::shared_ptr<usb_emulation::DeviceModel> model;
    // The virtual module behind the device (none for an echo) and where its memory goes.
    std::shared_ptr<usb_emulation::VirtualModuleDevice> module;
    std::optional<std::string> dump_flash;
};

// A module setting the virtual module refuses; the message says which and why.
struct InvalidModule : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// Throws InvalidModule. The module's packets go to `log` (which must outlive the device).
ModuleDevice make_module_device(const ModuleSpec& spec, const virtual_module::TraceLog& log);

}  // namespace usb_testbed
