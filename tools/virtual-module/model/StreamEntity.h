// The stream entity (command 0x5D): subscribing and unsubscribing by a 32-bit value holding module
// address, command, option and index, and the question whether this link is streaming.
#pragma once

#include "UeiEntity.h"

namespace virtual_module {

UeiEntity make_stream_entity();

}  // namespace virtual_module
