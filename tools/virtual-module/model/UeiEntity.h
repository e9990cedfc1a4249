// An entity answered through UEI messages: a command byte, a number of instances (indices) and a
// table of options, each with the kind of value it reads and takes and the functions that do it.
// The generic request handling (forms, widths, sub-indices, byte-array runs, error replies) lives
// here, so an entity is only its table.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "LinkContext.h"
#include "ModuleError.h"
#include "Packet.h"
#include "Uei.h"

namespace virtual_module {

struct UeiAddress {
    uint8_t index;
    uint8_t subindex;  // 0 for options without sub-indices
};

using UeiGetter = std::function<ModuleError(LinkContext&, UeiAddress, uint32_t& value)>;
using UeiSetter = std::function<ModuleError(LinkContext&, UeiAddress, uint32_t value)>;
using UeiBytesGetter = std::function<ModuleError(LinkContext&, uint8_t index, std::vector<uint8_t>& bytes)>;
using UeiBytesSetter = std::function<ModuleError(LinkContext&, uint8_t index, const std::vector<uint8_t>& bytes)>;

struct UeiOption {
    uint8_t code = 0;
    ValueKind get_kind = ValueKind::None;  // None: the option cannot be read
    ValueKind set_kind = ValueKind::None;  // None: cannot be set; Void: a call
    uint8_t subindex_count = 0;            // 0: no sub-index byte in requests
    UeiGetter get;
    UeiSetter set;  // also runs calls (value 0)
    UeiBytesGetter get_bytes;
    UeiBytesSetter set_bytes;
    size_t bytes_capacity = 0;  // longest byte array a set may carry

    // Values of one fixed width that a subscriber can be sent samples of.
    bool streamable() const;
};

class UeiEntity {
public:
    UeiEntity(uint8_t command, uint8_t instance_count, std::vector<UeiOption> options);

    uint8_t command() const { return command_; }
    uint8_t instance_count() const { return instance_count_; }
    const std::vector<UeiOption>& options() const { return options_; }
    const UeiOption* find(uint8_t code) const;

    // Whether a get (kGetOperation) or set (kSetOperation) of this option at this index would be
    // taken, as the module answers the query for a UEI's presence.
    ModuleError presence(uint8_t code, uint8_t index, uint8_t operation) const;

    // Answers one request packet addressed to this entity.
    void handle(LinkContext& context, const Packet& request, std::vector<Packet>& replies) const;

private:
    void handle_get(LinkContext&, const UeiOption&, const UeiReplyHeader&, const Packet&, std::vector<Packet>&) const;
    void handle_set(LinkContext&, const UeiOption&, const UeiReplyHeader&, const Packet&, std::vector<Packet>&) const;
    void handle_byte_array_packet(LinkContext&, const UeiOption&, const UeiReplyHeader&, const Packet&,
                                  std::vector<Packet>&) const;

    uint8_t command_;
    uint8_t instance_count_;
    std::vector<UeiOption> options_;
};

// The error reply for a UEI message whose command byte names no entity of this module.
Packet unknown_entity_reply(uint8_t address, const Packet& request);

// Table helpers: an option of one fixed-width kind, readable, settable or both.
UeiOption read_only(uint8_t code, ValueKind kind, UeiGetter get);
UeiOption read_write(uint8_t code, ValueKind kind, UeiGetter get, UeiSetter set);
UeiOption write_only(uint8_t code, ValueKind kind, UeiSetter set);
UeiOption call(uint8_t code, UeiSetter run);
UeiOption byte_array(uint8_t code, size_t capacity, UeiBytesGetter get, UeiBytesSetter set);

}  // namespace virtual_module
