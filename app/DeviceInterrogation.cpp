#include "DeviceInterrogation.h"

#include <algorithm>

#include "Log.h"
#include "SystemClass.h"
#include "discover.h"
#include "qVersion.h"

using Tolveric::Lumenvane::Module;
using Tolveric::Lumenvane::qEtherConfig;
using Tolveric::Lumenvane::SystemClass;

namespace {

constexpr uint8_t SYSTEM_ENTITY_INDEX = 0;

// Device names are stored from this firmware on.
constexpr uint8_t NAMED_FIRMWARE_MAJOR = 2;
constexpr uint8_t NAMED_FIRMWARE_MINOR = 10;
constexpr uint8_t NAMED_FIRMWARE_PATCH = 4;
// The longest name a module stores; a longer answer would end the read with an error.
constexpr size_t DEVICE_NAME_CAPACITY = 128;
// Patch numbers are wider than the comparison's bytes; anything above fits "at least 4".
constexpr unsigned PATCH_COMPARE_LIMIT = 0xFF;

struct LinkTypeSearch {
    uint32_t serial;
    linkType found;
};

// Enumeration callback: stops at the module with the serial number sought, noting its transport.
bool _discovered_link(const linkSpec* spec, bool* success, void* search) {
    auto* wanted = static_cast<LinkTypeSearch*>(search);
    *success = true;
    if (spec->serialNumber != wanted->serial) return true;
    Log::log(DEBUG_Network_Link, "NETWORK: Found device [%08X] via link type [%d]\n", spec->serialNumber,
             static_cast<int>(spec->type));
    wanted->found = static_cast<linkType>(spec->type);
    return false;
}

}  // namespace

uint32_t _get_build_number(Module& module) {
    uint32_t build = 0;
    return module.getBuild(&build) == qErrNone ? build : 0;
}

qErr _get_version(Module& module, DeviceInfo& record) {
    SystemClass system;
    system.init(&module, SYSTEM_ENTITY_INDEX);
    uint32_t packed = 0;
    qErr result = system.getVersion(&packed);
    if (result != qErrNone) return result;
    record.version_major = static_cast<uint8_t>(qVersion_ParseMajor(packed));
    record.version_minor = static_cast<uint8_t>(qVersion_ParseMinor(packed));
    record.version_patch = qVersion_ParsePatch(packed);
    uint8_t address = 0;
    result = system.getModule(&address);
    if (result != qErrNone) return result;
    record.spec.moduleAddress = address;
    result = system.getRouter(&address);
    if (result != qErrNone) return result;
    record.spec.routerAddress = address;
    return qErrNone;
}

qErr _get_device_name(Module& module, DeviceInfo& record) {
    uint8_t patch = static_cast<uint8_t>(std::min<unsigned>(record.version_patch, PATCH_COMPARE_LIMIT));
    if (!qVersion_IsAtLeastCompare(record.version_major, record.version_minor, patch, NAMED_FIRMWARE_MAJOR,
                                   NAMED_FIRMWARE_MINOR, NAMED_FIRMWARE_PATCH)) {
        return qErrNone;
    }
    SystemClass system;
    system.init(&module, SYSTEM_ENTITY_INDEX);
    uint8_t name[DEVICE_NAME_CAPACITY];
    size_t length = 0;
    qErr result = system.getName(name, sizeof name, &length);
    if (result == qErrNone) record.device_name.assign(reinterpret_cast<const char*>(name), length);
    return result;
}

qErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
    qEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    qErr result = module.setConfig(config);
    if (result != qErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to SET network configuration");
    }
    return result;
}

linkType _discover_link_type(unsigned serial) {
    LinkTypeSearch search{serial, linkTypeNone};
    qDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search, DISCOVERY_INTERFACE);
    if (search.found == linkTypeNone) {
        qDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search, DISCOVERY_INTERFACE);
    }
    return search.found;
}
