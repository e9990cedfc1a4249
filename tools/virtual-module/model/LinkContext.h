// What a handler sees while it answers one packet: the module, the state that belongs to the link
// the packet came over, the time, and where notable events go.
#pragma once

#include <chrono>
#include <string>

#include "LinkObserver.h"
#include "LinkState.h"

namespace virtual_module {

class Module;
using TimePoint = std::chrono::steady_clock::time_point;

struct LinkContext {
    Module& module;
    LinkState& link;
    TimePoint now;
    LinkObserver* observer = nullptr;
    bool drop_link = false;  // set by a handler: the link ends now, the packet unanswered

    void note(const std::string& text) const {
        if (observer != nullptr) observer->event(text);
    }
};

}  // namespace virtual_module
