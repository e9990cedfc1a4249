#include "ModuleDevice.h"

#include <cstdio>
#include <variant>
#include <vector>

#include "EchoModel.h"
#include "MemoryDumpFile.h"
#include "Options.h"

namespace usb_testbed {

namespace {

// The virtual module's parser checks the module's settings exactly as the program does; it
// insists on a transport, and the bus is this module's transport.
virtual_module::Options module_options(const ModuleSpec& spec, const std::string& serial) {
    std::vector<std::string> arguments{"usb-testbed", "--pty", "--serial", serial};
    arguments.insert(arguments.end(), spec.module_arguments.begin(), spec.module_arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    virtual_module::ParseResult parsed = virtual_module::parse_options(static_cast<int>(arguments.size()), argv.data());
    if (const auto* error = std::get_if<virtual_module::UsageError>(&parsed)) {
        throw InvalidModule("module " + serial + ": " + error->message);
    }
    if (!std::holds_alternative<virtual_module::Options>(parsed)) throw InvalidModule("module " + serial);
    return std::get<virtual_module::Options>(parsed);
}

}  // namespace

ModuleDevice make_module_device(const ModuleSpec& spec, const virtual_module::TraceLog& log) {
    char serial[9];
    std::snprintf(serial, sizeof serial, "%08X", spec.serial_number);
    const virtual_module::Options options = module_options(spec, serial);
    ModuleDevice device;
    device.identity = usb_emulation::module_identity(spec.serial_number, options.identity.model);
    if (spec.product_id) device.identity.product_id = *spec.product_id;
    if (spec.serial_text) device.identity.serial_text = *spec.serial_text;
    device.faults = spec.faults;
    if (spec.echo) {
        device.model = std::make_shared<usb_emulation::EchoModel>();
        return device;
    }

    device.trace = std::make_unique<virtual_module::LinkTrace>(log, std::string("usb ") + serial);
    device.module = std::make_shared<usb_emulation::VirtualModuleDevice>(options.identity, options.faults, device.trace.get());
    const auto started = std::chrono::steady_clock::now();
    device.module->module().loader_faults() = options.loader_faults;
    for (const virtual_module::ModuleIdentity& routed : options.routed) device.module->module().add_routed(routed, started);
    if (spec.dump_flash) {
        device.dump_flash = spec.dump_flash;
        device.module->on_restart([path = *spec.dump_flash](const virtual_module::Module& module) {
            write_memory_dump(path, module);
        });
    }
    device.model = device.module;
    return device;
}

}  // namespace usb_testbed
