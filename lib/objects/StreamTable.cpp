#include "StreamTable.h"

namespace Tolveric::Lumenvane {

namespace {

constexpr int OPEN_INDEX = 0x1;
constexpr int OPEN_OPTION = 0x2;
constexpr int OPEN_COMMAND = 0x4;
constexpr int OPEN_SUBINDEX = 0x8;

constexpr Link::STREAM_KEY KEY_FIELDS[] = {Link::KEY_MODULE, Link::KEY_COMMAND, Link::KEY_OPTION, Link::KEY_INDEX,
                                           Link::KEY_SUBINDEX};

bool field_matches(uint8_t wanted, uint8_t present) { return wanted == Link::STREAM_WILDCARD || wanted == present; }

}  // namespace

uint64_t streamWildcardMask(int form) {
    int opened = form + 1;
    uint8_t any = Link::STREAM_WILDCARD;
    return Link::createStreamKey(0, (opened & OPEN_COMMAND) ? any : 0, (opened & OPEN_OPTION) ? any : 0,
                                 (opened & OPEN_INDEX) ? any : 0, (opened & OPEN_SUBINDEX) ? any : 0);
}

std::vector<uint64_t> streamTable_MatchingKeys(const StreamTable& table, uint8_t module, uint8_t command,
                                               uint8_t option, uint8_t index, uint8_t subindex) {
    std::vector<uint64_t> keys;
    for (const auto& [key, entry] : table) {
        if (field_matches(module, Link::getStreamKeyElement(key, Link::KEY_MODULE)) &&
            field_matches(command, Link::getStreamKeyElement(key, Link::KEY_COMMAND)) &&
            field_matches(option, Link::getStreamKeyElement(key, Link::KEY_OPTION)) &&
            field_matches(index, Link::getStreamKeyElement(key, Link::KEY_INDEX)) &&
            field_matches(subindex, Link::getStreamKeyElement(key, Link::KEY_SUBINDEX))) {
            keys.push_back(key);
        }
    }
    return keys;
}

bool streamKey_IsConcrete(uint64_t key) {
    for (Link::STREAM_KEY field : KEY_FIELDS) {
        if (Link::getStreamKeyElement(key, field) == Link::STREAM_WILDCARD) return false;
    }
    return true;
}

}  // namespace Tolveric::Lumenvane
