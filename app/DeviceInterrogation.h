// What the workflow reads from a connected module for its device records, and the switch that
// keeps a module's link away from the link sharing server. Shared by discovery, the update and
// the recovery procedures.
#pragma once

#include <cstdint>

#include "DeviceInfo.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "qError.h"

// The interface given to discovery: 127.0.0.1 as a socket address holds it.
constexpr uint32_t DISCOVERY_INTERFACE = Tolveric::Lumenvane::qETHER_LOOPBACK_INTERFACE;

// The module's firmware build number, or 0 when it cannot be read.
uint32_t _get_build_number(Tolveric::Lumenvane::Module& module);
// Fills the record's version and the module and router addresses of its spec.
qErr _get_version(Tolveric::Lumenvane::Module& module, DeviceInfo& record);
// Fills the record's device name; firmware before 2.10.4 has none and leaves it empty.
qErr _get_device_name(Tolveric::Lumenvane::Module& module, DeviceInfo& record);
// Switches the module's link sharing and its fallback off, so that the module is reached
// directly; must be called before connecting. Failures are reported on the display.
qErr _disableEther(Tolveric::Lumenvane::Module& module, UpdaterDisplayInterface& display);
// The transport (USB, else TCP/IP) over which a module with this serial number answers, or 0.
linkType _discover_link_type(unsigned serial);
