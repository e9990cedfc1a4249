#include "QueryCommand.h"

#include "CommandBytes.h"
#include "Module.h"
#include "Uei.h"

namespace virtual_module {

namespace {

constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kPresenceQuery = 1;
constexpr uint8_t kClassQuantityQuery = 4;
constexpr uint8_t kSubclassQuantityQuery = 5;
constexpr uint8_t kEntityGroupQuery = 6;

constexpr size_t kBuildRequestLength = 2;
constexpr size_t kPresenceRequestLength = 6;   // query, command, option, index, flags
constexpr size_t kClassRequestLength = 3;      // query, command
constexpr size_t kSubclassRequestLength = 4;   // query, command, option
constexpr size_t kGroupRequestLength = 4;      // query, command, index
constexpr uint8_t kDefaultEntityGroup = 0;

size_t request_length(uint8_t query) {
    switch (query) {
    case kBuildQuery:
        return kBuildRequestLength;
    case kPresenceQuery:
        return kPresenceRequestLength;
    case kClassQuantityQuery:
        return kClassRequestLength;
    case kSubclassQuantityQuery:
        return kSubclassRequestLength;
    case kEntityGroupQuery:
        return kGroupRequestLength;
    default:
        return 0;
    }
}

ModuleError presence(const Module& module, uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if (flags != kGetOperation && flags != kSetOperation) return ModuleError::Param;
    const UeiEntity* entity = module.find_entity(command);
    if (entity == nullptr) return ModuleError::InvalidEntity;
    return entity->presence(option & kOptionCodeMask, index & kIndexMask, flags);
}

}  // namespace

void handle_query_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    const std::vector<uint8_t>& data = request.data;
    uint8_t query = data.size() > 1 ? data[1] : 0;
    size_t expected = request_length(query);
    if (expected == 0 || data.size() < expected) {
        context.note("query not understood: not answered");
        return;
    }
    const Module& module = context.module;
    Packet reply{module.address(), std::vector<uint8_t>(data.begin(), data.begin() + static_cast<long>(expected))};
    switch (query) {
    case kBuildQuery:
        append_big_endian(reply.data, module.identity().build, 4);
        break;
    case kPresenceQuery:
        reply.data.pop_back();  // the flags byte is replaced by the answer
        reply.data.push_back(error_byte(presence(module, data[2], data[3], data[4], data[5])));
        break;
    case kClassQuantityQuery: {
        const UeiEntity* entity = module.find_entity(data[2]);
        reply.data.push_back(entity == nullptr ? 0 : entity->instance_count());
        break;
    }
    case kSubclassQuantityQuery: {
        const UeiEntity* entity = module.find_entity(data[2]);
        const UeiOption* option = entity == nullptr ? nullptr : entity->find(data[3] & kOptionCodeMask);
        reply.data.push_back(option == nullptr ? 0 : option->subindex_count);
        break;
    }
    case kEntityGroupQuery:
        reply.data.push_back(kDefaultEntityGroup);
        break;
    }
    replies.push_back(std::move(reply));
}

}  // namespace virtual_module
