// The query command: the build number, whether an entity takes an option in a direction, and the
// counts of entities and sub-indices, each answered with the request's bytes echoed before the result.
#pragma once

#include <vector>

#include "LinkContext.h"
#include "Packet.h"

namespace virtual_module {

void handle_query_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies);

}  // namespace virtual_module
