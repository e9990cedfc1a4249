// The module's I2C bus entity (command 8): writes, reads and the pull-up switch, each one raw
// packet answered with the request's header echoed, a byte count and a status byte (bit 7 set: an
// error, whose code is the rest). A module's I2C bus is where the modules behind a router sit: an
// address acknowledges only when a routed module is there and present; any other address gets the
// status a real bus gives when nobody acknowledges.
#pragma once

#include <vector>

#include "LinkContext.h"
#include "Packet.h"

namespace virtual_module {

void handle_i2c_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
