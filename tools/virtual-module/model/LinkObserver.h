// What a transport wants to hear about a link: every packet in and out, and notable events.
#pragma once

#include <string>

#include "Packet.h"

namespace virtual_module {

class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    virtual void packet_received(const Packet&) {}
    virtual void packet_sent(const Packet&) {}
    virtual void event(const std::string&) {}
};

}  // namespace virtual_module
