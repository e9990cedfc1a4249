// The echo command: the module sends the packet's data straight back, a link test for the host.
#pragma once

#include <vector>

#include "LinkContext.h"
#include "Packet.h"

namespace virtual_module {

void handle_echo_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
