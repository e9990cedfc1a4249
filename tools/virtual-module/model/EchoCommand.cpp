#include "EchoCommand.h"

#include "Module.h"

namespace virtual_module {

void handle_echo_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    replies.push_back(Packet{context.module.address(), request.data});
}

}  // namespace virtual_module
