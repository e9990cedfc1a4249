// Stream subscriptions of one link: the host names a command, option and index (0xFF for any), and
// from then on the module sends a sample packet whenever one of the matching values changes. The
// value at subscription time is the baseline; only changes are sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "ModuleError.h"
#include "Packet.h"

namespace virtual_module {

struct LinkContext;

constexpr uint8_t kStreamWildcard = 0xFF;
constexpr size_t kMaxSubscriptions = 32;

struct StreamSubscription {
    uint8_t command = 0;
    uint8_t option = 0;
    uint8_t index = 0;

    bool operator==(const StreamSubscription&) const = default;
};

struct StreamState {
    std::vector<StreamSubscription> subscriptions;
    std::map<uint32_t, uint32_t> reported;  // last value sent (or the baseline), by streamed value

    bool streaming() const { return !subscriptions.empty(); }
};

ModuleError subscribe(LinkContext& context, const StreamSubscription& subscription);
// Removes every subscription the pattern covers (0xFF in the pattern covers any value).
void unsubscribe(LinkContext& context, const StreamSubscription& pattern);
// A sample for every subscribed value that differs from what was last reported.
void collect_stream_samples(LinkContext& context, std::vector<Packet>& samples);

}  // namespace virtual_module
