// The I2C bus entity (command 8) of a module. A router module reaches the modules on its bus with
// it: a write of two zero bytes to an address is acknowledged only where a module sits.
// Each bus request is one raw packet answered by one packet whose byte 4 is the bus status.
#pragma once

#include <cstdint>

#include "Entity.h"

namespace Tolveric::Lumenvane {

class I2CClass : public EntityClass {
public:
    // Most data bytes one bus request carries: with command, index, address, length and speed
    // they fill a 28-byte packet.
    static constexpr uint8_t MAX_TRANSFER = 23;
    static constexpr uint8_t MAX_SPEED = 3;

    ~I2CClass() override;

    // Binds command 8 and the index; the speed starts at 0.
    void init(Module* module, uint8_t index);
    qErr setSpeed(uint8_t speed);  // above 3: qErrParam
    qErr getSpeed(uint8_t* speed) const;

    // Reads up to `length` bytes from the device at `address` into `buffer`: never more than the
    // reply holds nor more than was asked. qErrSize above 23 bytes.
    qErr read(uint8_t address, uint8_t length, uint8_t* buffer);
    // Writes `length` bytes to the device at `address`; qErrSize above 23 bytes.
    qErr write(uint8_t address, uint8_t length, const uint8_t* data);
    qErr setPullup(bool on);

private:
    // Sends `request` after the command byte, awaits the reply beginning with `match` and checks
    // its status; the reply is left in `reply` with its length.
    qErr _transact(const uint8_t* request, uint8_t requestLength, const uint8_t* match, uint8_t matchLength,
                   uint8_t* reply, uint8_t* replyLength);

    uint8_t speed = 0;
};

}  // namespace Tolveric::Lumenvane
