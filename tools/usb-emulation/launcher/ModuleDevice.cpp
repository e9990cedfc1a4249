#include "ModuleDevice.h"

#include <stdexcept>

#include "EchoModel.h"

namespace usb_testbed {

namespace {

constexpr uint8_t kDefaultModel = 19;

}  // namespace

ModuleDevice make_module_device(const ModuleSpec& spec) {
    if (!spec.echo) throw std::invalid_argument("only --echo modules can be served until the virtual module is built in");
    ModuleDevice device;
    device.identity = usb_emulation::module_identity(spec.serial_number, kDefaultModel);
    if (spec.product_id) device.identity.product_id = *spec.product_id;
    if (spec.serial_text) device.identity.serial_text = *spec.serial_text;
    device.model = std::make_shared<usb_emulation::EchoModel>();
    return device;
}

}  // namespace usb_testbed
