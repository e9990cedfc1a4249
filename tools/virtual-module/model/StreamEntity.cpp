#include "StreamEntity.h"

#include "CommandBytes.h"
#include "Module.h"
#include "StreamSubscriptions.h"

namespace virtual_module {

namespace {

constexpr uint8_t kEnableOption = 1;  // set: subscribe; get: is this link streaming
constexpr uint8_t kDisableOption = 2;
constexpr uint8_t kStreamInstances = 1;

struct SubscriptionRequest {
    uint8_t module;
    StreamSubscription subscription;
};

SubscriptionRequest decode(uint32_t value) {
    return SubscriptionRequest{static_cast<uint8_t>(value >> 24),
                               {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value)}};
}

}  // namespace

UeiEntity make_stream_entity() {
    UeiOption enable = write_only(kEnableOption, ValueKind::Int, [](LinkContext& context, UeiAddress, uint32_t value) {
        SubscriptionRequest request = decode(value);
        if (request.module != context.module.address()) return ModuleError::Param;
        return subscribe(context, request.subscription);
    });
    enable.get_kind = ValueKind::Byte;
    enable.get = [](LinkContext& context, UeiAddress, uint32_t& out) {
        out = context.link.streams.streaming() ? 1 : 0;
        return ModuleError::None;
    };
    UeiOption disable = write_only(kDisableOption, ValueKind::Int, [](LinkContext& context, UeiAddress, uint32_t value) {
        SubscriptionRequest request = decode(value);
        if (request.module != context.module.address()) return ModuleError::Param;
        unsubscribe(context, request.subscription);
        return ModuleError::None;
    });
    return UeiEntity(kStreamCommand, kStreamInstances, {enable, disable});
}

}  // namespace virtual_module
