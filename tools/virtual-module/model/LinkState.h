// Everything the module remembers about one host link (as opposed to the module itself): what a
// link's host has half done or asked for goes away with the link.
#pragma once

#include "ByteArrayAssembly.h"
#include "FactoryData.h"
#include "StoreSlots.h"
#include "StreamSubscriptions.h"

namespace virtual_module {

struct LinkState {
    ByteArrayAssembly byte_array;
    StreamState streams;
    SlotHandleTable slot_handles;
    FactoryTransfer factory_transfer;
};

}  // namespace virtual_module
