// What an EntityClass holds, shared by the files that make up the entity object.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Tolveric::Lumenvane {

struct EntityClass::impl {
    EntityClass* owner = nullptr;
    Module* module = nullptr;  // not owned; none until init
    uint8_t command = 0;
    uint8_t index = 0;         // 0 to 31

    // The module's link, or none without a module or link.
    Link* link() const;
    uint8_t address() const;
    // A record that awaits the reply of `option` (operation bits as given) of this entity.
    uei reply(uint8_t option) const;
    // A set or call, with the subindex form when `subindex` is given.
    qErr set(uint8_t option, const uint8_t* subindex, uei* message);
};

// The module's code from an error reply; a code of 0 reads as qErrUnknown.
qErr entity_module_error(const uei& reply);

}  // namespace Tolveric::Lumenvane
