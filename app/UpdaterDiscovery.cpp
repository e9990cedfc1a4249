// Device discovery: the modules reachable over USB or TCP/IP, and the modules behind a router
// module on its I2C bus, each interrogated for its identity, version, build and name.
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "DeviceInterrogation.h"
#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "Updater.h"
#include "discover.h"
#include "qDefs.h"

using Tolveric::Lumenvane::I2CClass;
using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::SystemClass;

namespace {

// Modules reached directly answer at address 2 until they say otherwise.
constexpr uint8_t DIRECT_MODULE_ADDRESS = 2;
constexpr uint8_t ANY_MODEL = 0;
constexpr uint8_t SYSTEM_ENTITY_INDEX = 0;
constexpr uint8_t BUS_INDEX = 0;

// The router's bus scan: even addresses from 2 to 252, each probed with a write of two zeros.
constexpr uint8_t BUS_SPEED = 3;
constexpr unsigned FIRST_BUS_ADDRESS = 2;
constexpr unsigned LAST_BUS_ADDRESS = 252;
constexpr unsigned BUS_ADDRESS_STEP = 2;
constexpr uint8_t ROUTE_TO_HOST = 1;
constexpr uint8_t ROUTE_RELEASED = 0;

// Routed records take the transport part of the router's link specifier (its IP address and port).
constexpr size_t SPEC_TRANSPORT_OFFSET = offsetof(linkSpec, transport);
static_assert(SPEC_TRANSPORT_OFFSET == 24);

using SpecPointer = std::unique_ptr<linkSpec, void (*)(linkSpec*)>;

void destroy_spec(linkSpec* spec) { qLinkSpec_Destroy(&spec); }

// Enumeration callback: one record per module found. A module heard through two interfaces
// answers twice with the same record; it is listed (and interrogated) once.
bool _discovered_device(const linkSpec* spec, bool* success, void* list) {
    auto* devices = static_cast<std::vector<DeviceInfo>*>(list);
    *success = true;
    for (const DeviceInfo& known : *devices) {
        if (memcmp(&known.spec, spec, sizeof(linkSpec)) == 0) return true;
    }
    DeviceInfo record;
    record.spec = *spec;
    devices->push_back(record);
    return true;
}

// Connects to one directly reached module and reads its build, version and name into the record.
void interrogate(DeviceInfo& record, UpdaterDisplayInterface& display) {
    record.model_label = qDefs_GetModelName(record.spec.model);
    Module module(DIRECT_MODULE_ADDRESS, ANY_MODEL);
    qErr result = _disableEther(module, display);
    if (result != qErrNone) {
        // Connected through the sharing server it would not be the module seen directly.
        record.error = result;
        return;
    }
    record.error = module.connectFromSpec(record.spec);
    if (record.error == qErrNone) {
        record.build = _get_build_number(module);
        record.error = _get_version(module, record);
        if (record.error == qErrNone) record.error = _get_device_name(module, record);
    }
    module.disconnect();
}

// The router's side of a bus scan: what every routed record takes from the router.
struct RouterScan {
    Module& router;
    const linkSpec& routerSpec;
    unsigned routerSerial;
    linkType type;
    I2CClass& bus;
    UpdaterDisplayInterface& display;

    // The module at one bus address, when it acknowledges, connects and tells its serial number;
    // the record is filled as far as the module answers.
    bool interrogate(uint8_t address, DeviceInfo& record) const;
};

bool RouterScan::interrogate(uint8_t address, DeviceInfo& record) const {
    static const uint8_t probe[2] = {0, 0};
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    if (bus.write(address, sizeof probe, probe) != qErrNone) return false;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, ANY_MODEL);
    _disableEther(module, display);
    if (module.connectThroughLinkModule(&router) != qErrNone) return false;

    SystemClass system;
    system.init(&module, SYSTEM_ENTITY_INDEX);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != qErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);
    memcpy(reinterpret_cast<uint8_t*>(&record.spec) + SPEC_TRANSPORT_OFFSET,
           reinterpret_cast<const uint8_t*>(&routerSpec) + SPEC_TRANSPORT_OFFSET,
           sizeof(linkSpec) - SPEC_TRANSPORT_OFFSET);
    record.spec.type = type;
    record.spec.serialNumber = serial;
    record.spec.routerAddress = router.getModuleAddress();
    record.spec.routerSerialNumber = routerSerial;
    record.network_address = address;

    record.build = _get_build_number(module);
    record.error = _get_version(module, record);
    uint8_t model = 0;
    qErr result = system.getModel(&model);
    if (result != qErrNone) {
        record.error = result;
    } else {
        record.spec.model = model;
        record.model_label = qDefs_GetModelName(model);
    }
    module.disconnect();
    return true;
}

}  // namespace

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    const std::vector<linkType> transports =
        type == linkTypeNone ? std::vector<linkType>{linkTypeUSB, linkTypeTCPIP} : std::vector<linkType>{type};
    for (linkType transport : transports) {
        qDiscovery_EnumerateModules(transport, _discovered_device, &devices, DISCOVERY_INTERFACE);
    }
    // One after another: a module that another program holds keeps its connect error.
    for (DeviceInfo& record : devices) interrogate(record, display);
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_LVNetwork_Devices(unsigned router_serial, linkType type) {
    std::vector<DeviceInfo> devices;
    if (type == linkTypeNone) type = _discover_link_type(router_serial);
    SpecPointer routerSpec(qDiscovery_FindModule(type, router_serial, DISCOVERY_INTERFACE), destroy_spec);
    if (!routerSpec) return devices;

    Log::log(DEBUG_Updater, "Found Link Module");
    Module router(DIRECT_MODULE_ADDRESS, ANY_MODEL);
    if (_disableEther(router, display) != qErrNone) return devices;
    qErr result = router.connectFromSpec(*routerSpec);
    if (result != qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec", result);
        return devices;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, SYSTEM_ENTITY_INDEX);
    result = routerSystem.routeToMe(ROUTE_TO_HOST);
    if (result != qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me", result);
        router.disconnect();
        return devices;
    }

    I2CClass bus;
    bus.init(&router, BUS_INDEX);
    bus.setSpeed(BUS_SPEED);
    const RouterScan scan{router, *routerSpec, router_serial, type, bus, display};
    for (unsigned address = FIRST_BUS_ADDRESS; address <= LAST_BUS_ADDRESS; address += BUS_ADDRESS_STEP) {
        if (address == router.getModuleAddress()) continue;
        DeviceInfo record;
        if (scan.interrogate(static_cast<uint8_t>(address), record)) devices.push_back(record);
    }

    routerSystem.routeToMe(ROUTE_RELEASED);
    router.disconnect();
    return devices;
}
