#include "StreamSubscriptions.h"

#include <algorithm>
#include <functional>

#include "LinkContext.h"
#include "Module.h"
#include "Uei.h"
#include "UeiEntity.h"

namespace virtual_module {

namespace {

// Sample kinds, data byte 3 of a sample.
constexpr uint8_t kSampleByte = 1;
constexpr uint8_t kSampleShort = 2;
constexpr uint8_t kSampleInt = 3;
constexpr uint8_t kSubindexSampleOffset = 4;  // 5, 6 and 7: the same widths with a sub-index byte
constexpr uint8_t kSampleSequenceByte = 0x00;  // a sample is a one-packet run

struct StreamedValue {
    const UeiEntity& entity;
    const UeiOption& option;
    uint8_t index;
    uint8_t subindex;

    uint32_t key() const {
        return (uint32_t{entity.command()} << 24) | (uint32_t{option.code} << 16) | (uint32_t{index} << 8) | subindex;
    }
};

bool covers(uint8_t pattern, uint8_t value) { return pattern == kStreamWildcard || pattern == value; }

bool covers(const StreamSubscription& pattern, const StreamSubscription& subscription) {
    return covers(pattern.command, subscription.command) && covers(pattern.option, subscription.option) &&
           covers(pattern.index, subscription.index);
}

void for_each_streamed_value(const Module& module, const StreamSubscription& pattern,
                             const std::function<void(const StreamedValue&)>& visit) {
    for (const auto& [command, entity] : module.entities()) {
        if (!covers(pattern.command, command)) continue;
        for (const UeiOption& option : entity.options()) {
            if (!option.streamable() || !covers(pattern.option, option.code)) continue;
            for (uint8_t index = 0; index < entity.instance_count(); ++index) {
                if (!covers(pattern.index, index)) continue;
                uint8_t subindices = std::max<uint8_t>(option.subindex_count, 1);
                for (uint8_t subindex = 0; subindex < subindices; ++subindex) visit({entity, option, index, subindex});
            }
        }
    }
}

bool subscribed(const StreamState& state, const StreamedValue& value) {
    StreamSubscription concrete{value.entity.command(), value.option.code, value.index};
    return std::any_of(state.subscriptions.begin(), state.subscriptions.end(),
                       [&](const StreamSubscription& subscription) { return covers(subscription, concrete); });
}

Packet sample_packet(const LinkContext& context, const StreamedValue& value, uint32_t reading) {
    uint8_t kind = value.option.get_kind == ValueKind::Byte    ? kSampleByte
                   : value.option.get_kind == ValueKind::Short ? kSampleShort
                                                               : kSampleInt;
    bool with_subindex = value.option.subindex_count > 0;
    if (with_subindex) kind = static_cast<uint8_t>(kind + kSubindexSampleOffset);
    Packet sample{context.module.address(),
                  {value.entity.command(), value.option.code, static_cast<uint8_t>(value.index | kStreamFlag), kind}};
    if (with_subindex) sample.data.push_back(value.subindex);
    auto microseconds = std::chrono::duration_cast<std::chrono::microseconds>(context.now - context.module.started());
    uint64_t timestamp = static_cast<uint64_t>(std::max<int64_t>(microseconds.count(), 0));
    append_big_endian(sample.data, static_cast<uint32_t>(timestamp >> 32), 4);
    append_big_endian(sample.data, static_cast<uint32_t>(timestamp), 4);
    append_big_endian(sample.data, reading, value_width(value.option.get_kind));
    sample.data.push_back(kSampleSequenceByte);
    return sample;
}

bool read_value(LinkContext& context, const StreamedValue& value, uint32_t& reading) {
    return value.option.get(context, UeiAddress{value.index, value.subindex}, reading) == ModuleError::None;
}

}  // namespace

ModuleError subscribe(LinkContext& context, const StreamSubscription& subscription) {
    StreamState& state = context.link.streams;
    bool matches_any = false;
    for_each_streamed_value(context.module, subscription, [&](const StreamedValue&) { matches_any = true; });
    if (!matches_any) {
        bool unknown_entity = subscription.command != kStreamWildcard && context.module.find_entity(subscription.command) == nullptr;
        return unknown_entity ? ModuleError::InvalidEntity : ModuleError::InvalidOption;
    }
    if (std::find(state.subscriptions.begin(), state.subscriptions.end(), subscription) != state.subscriptions.end()) {
        return ModuleError::None;
    }
    if (state.subscriptions.size() >= kMaxSubscriptions) return ModuleError::Resource;
    state.subscriptions.push_back(subscription);
    for_each_streamed_value(context.module, subscription, [&](const StreamedValue& value) {
        uint32_t reading = 0;
        if (!state.reported.contains(value.key()) && read_value(context, value, reading)) state.reported[value.key()] = reading;
    });
    return ModuleError::None;
}

void unsubscribe(LinkContext& context, const StreamSubscription& pattern) {
    StreamState& state = context.link.streams;
    std::erase_if(state.subscriptions, [&](const StreamSubscription& subscription) { return covers(pattern, subscription); });
    std::map<uint32_t, uint32_t> still_reported;
    for_each_streamed_value(context.module, StreamSubscription{kStreamWildcard, kStreamWildcard, kStreamWildcard},
                            [&](const StreamedValue& value) {
                                auto entry = state.reported.find(value.key());
                                if (entry != state.reported.end() && subscribed(state, value)) still_reported.insert(*entry);
                            });
    state.reported = std::move(still_reported);
}

void collect_stream_samples(LinkContext& context, std::vector<Packet>& samples) {
    StreamState& state = context.link.streams;
    if (!state.streaming()) return;
    for_each_streamed_value(context.module, StreamSubscription{kStreamWildcard, kStreamWildcard, kStreamWildcard},
                            [&](const StreamedValue& value) {
                                uint32_t reading = 0;
                                if (!subscribed(state, value) || !read_value(context, value, reading)) return;
                                auto [entry, inserted] = state.reported.try_emplace(value.key(), reading);
                                if (inserted || entry->second == reading) return;
                                entry->second = reading;
                                samples.push_back(sample_packet(context, value, reading));
                            });
}

}  // namespace virtual_module
