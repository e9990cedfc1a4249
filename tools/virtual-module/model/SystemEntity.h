// The system entity (command 3, index 0): the module's identity, settings and health.
#pragma once

#include "UeiEntity.h"

namespace virtual_module {

constexpr uint8_t kUniqueIdentifierWords = 4;

UeiEntity make_system_entity();

}  // namespace virtual_module
