#include "UeiEntity.h"

#include <algorithm>

#include "Module.h"

namespace virtual_module {

namespace {

constexpr size_t kSubindexLength = 1;
constexpr size_t kSequenceByteLength = 1;

uint8_t reply_option(uint8_t option_byte) {
    uint8_t code = option_byte & kOptionCodeMask;
    switch (option_byte & kOperationMask) {
    case kGetOperation:
        return code;
    case kSetOperation:
        return static_cast<uint8_t>(code | kAcknowledgeOperation);
    default:
        return option_byte;  // neither a get nor a set: echoed as it came
    }
}

UeiReplyHeader reply_header(uint8_t address, const Packet& request) {
    uint8_t option_byte = request.data.size() > 1 ? request.data[1] : 0;
    uint8_t index_byte = request.data.size() > 2 ? request.data[2] : 0;
    return UeiReplyHeader{address, request.data[0], reply_option(option_byte), static_cast<uint8_t>(index_byte & kIndexMask)};
}

// A fixed-width request must be exactly as long as its form: too few bytes and too many are told
// apart so the host learns which way it went wrong.
ModuleError check_length(const Packet& request, size_t expected) {
    if (request.data.size() < expected) return ModuleError::ShortCommand;
    if (request.data.size() > expected) return ModuleError::Size;
    return ModuleError::None;
}

}  // namespace

bool UeiOption::streamable() const {
    return get && (get_kind == ValueKind::Byte || get_kind == ValueKind::Short || get_kind == ValueKind::Int);
}

UeiEntity::UeiEntity(uint8_t command, uint8_t instance_count, std::vector<UeiOption> options)
    : command_(command), instance_count_(instance_count), options_(std::move(options)) {}

const UeiOption* UeiEntity::find(uint8_t code) const {
    auto option = std::find_if(options_.begin(), options_.end(), [code](const UeiOption& o) { return o.code == code; });
    return option == options_.end() ? nullptr : &*option;
}

ModuleError UeiEntity::presence(uint8_t code, uint8_t index, uint8_t operation) const {
    if (index >= instance_count_) return ModuleError::InvalidEntity;
    const UeiOption* option = find(code);
    if (option == nullptr) return ModuleError::InvalidOption;
    if (operation == kGetOperation) return option->get_kind == ValueKind::None ? ModuleError::Mode : ModuleError::None;
    if (operation == kSetOperation) return option->set_kind == ValueKind::None ? ModuleError::Mode : ModuleError::None;
    return ModuleError::Param;
}

void UeiEntity::handle(LinkContext& context, const Packet& request, std::vector<Packet>& replies) const {
    UeiReplyHeader header = reply_header(context.module.address(), request);
    if (request.data.size() < kUeiHeaderLength) {
        replies.push_back(uei_error_reply(header, ModuleError::ShortCommand));
        return;
    }
    uint8_t operation = request.data[1] & kOperationMask;
    if (operation != kGetOperation && operation != kSetOperation) {
        replies.push_back(uei_error_reply(header, ModuleError::Mode));
        return;
    }
    ModuleError presence_error = presence(request.data[1] & kOptionCodeMask, header.index, operation);
    if (presence_error != ModuleError::None) {
        replies.push_back(uei_error_reply(header, presence_error));
        return;
    }
    const UeiOption& option = *find(request.data[1] & kOptionCodeMask);
    if (operation == kGetOperation) {
        handle_get(context, option, header, request, replies);
    } else if (option.set_kind == ValueKind::Bytes) {
        handle_byte_array_packet(context, option, header, request, replies);
    } else {
        handle_set(context, option, header, request, replies);
    }
}

void UeiEntity::handle_get(LinkContext& context, const UeiOption& option, const UeiReplyHeader& header,
                           const Packet& request, std::vector<Packet>& replies) const {
    bool has_subindex = option.subindex_count > 0;
    ModuleError error = check_length(request, kUeiHeaderLength + (has_subindex ? kSubindexLength : 0));
    uint8_t subindex = has_subindex && error == ModuleError::None ? request.data[kUeiHeaderLength] : 0;
    if (error == ModuleError::None && has_subindex && subindex >= option.subindex_count) error = ModuleError::IndexRange;
    if (error != ModuleError::None) {
        replies.push_back(uei_error_reply(header, error));
        return;
    }
    if (option.get_kind == ValueKind::Bytes) {
        std::vector<uint8_t> bytes;
        error = option.get_bytes(context, header.index, bytes);
        if (error == ModuleError::None) {
            for (Packet& packet : uei_byte_array_reply(header, bytes)) replies.push_back(std::move(packet));
            return;
        }
    } else {
        uint32_t value = 0;
        error = option.get(context, UeiAddress{header.index, subindex}, value);
        if (error == ModuleError::None) {
            replies.push_back(uei_value_reply(header, value, option.get_kind));
            return;
        }
    }
    replies.push_back(uei_error_reply(header, error));
}

void UeiEntity::handle_set(LinkContext& context, const UeiOption& option, const UeiReplyHeader& header,
                           const Packet& request, std::vector<Packet>& replies) const {
    size_t subindex_length = option.subindex_count > 0 ? kSubindexLength : 0;
    size_t width = value_width(option.set_kind);
    ModuleError error = check_length(request, kUeiHeaderLength + subindex_length + width);
    uint8_t subindex = subindex_length > 0 && error == ModuleError::None ? request.data[kUeiHeaderLength] : 0;
    if (error == ModuleError::None && subindex_length > 0 && subindex >= option.subindex_count) {
        error = ModuleError::IndexRange;
    }
    if (error == ModuleError::None) {
        uint32_t value = read_big_endian(request.data.data() + kUeiHeaderLength + subindex_length, width);
        error = option.set(context, UeiAddress{header.index, subindex}, value);
    }
    replies.push_back(error == ModuleError::None ? uei_acknowledgement(header) : uei_error_reply(header, error));
}

// Collects a byte array packet by packet and answers the run once, after its last packet. A packet
// out of sequence or a run longer than the option holds refuses the whole run with one error reply.
void UeiEntity::handle_byte_array_packet(LinkContext& context, const UeiOption& option, const UeiReplyHeader& header,
                                         const Packet& request, std::vector<Packet>& replies) const {
    ByteArrayAssembly& assembly = context.link.byte_array;
    if (request.data.size() < kUeiHeaderLength + kSequenceByteLength) {
        assembly.clear();
        replies.push_back(uei_error_reply(header, ModuleError::ShortCommand));
        return;
    }
    uint8_t sequence_byte = request.data.back();
    uint8_t sequence = sequence_byte & kSequenceNumberMask;
    bool more = (sequence_byte & kSequenceContinue) != 0;
    bool same_run = assembly.active && assembly.command == command_ && assembly.option == option.code &&
                    assembly.index == header.index;

    if (sequence == 0) {
        assembly.clear();
        assembly.active = true;
        assembly.command = command_;
        assembly.option = option.code;
        assembly.index = header.index;
    } else if (!same_run || sequence != assembly.next_sequence) {
        bool already_refused = same_run && assembly.discarding;
        if (already_refused) {
            if (!more) assembly.clear();
            return;
        }
        context.note("byte-array packet out of sequence");
        assembly.clear();
        replies.push_back(uei_error_reply(header, ModuleError::Packet));
        if (more) {  // swallow the rest of this run quietly
            assembly.active = true;
            assembly.discarding = true;
            assembly.command = command_;
            assembly.option = option.code;
            assembly.index = header.index;
        }
        return;
    }
    assembly.next_sequence = static_cast<uint8_t>((sequence + 1) & kSequenceNumberMask);
    if (assembly.discarding) {
        if (!more) assembly.clear();
        return;
    }

    auto payload_begin = request.data.begin() + kUeiHeaderLength;
    auto payload_end = request.data.end() - kSequenceByteLength;
    if (assembly.bytes.size() + static_cast<size_t>(payload_end - payload_begin) > option.bytes_capacity) {
        replies.push_back(uei_error_reply(header, ModuleError::Size));
        assembly.discarding = true;
        if (!more) assembly.clear();
        return;
    }
    assembly.bytes.insert(assembly.bytes.end(), payload_begin, payload_end);
    if (more) return;

    std::vector<uint8_t> bytes = std::move(assembly.bytes);
    assembly.clear();
    ModuleError error = option.set_bytes(context, header.index, bytes);
    replies.push_back(error == ModuleError::None ? uei_acknowledgement(header) : uei_error_reply(header, error));
}

Packet unknown_entity_reply(uint8_t address, const Packet& request) {
    UeiReplyHeader header = reply_header(address, request);
    return uei_error_reply(header, ModuleError::InvalidEntity);
}

UeiOption read_only(uint8_t code, ValueKind kind, UeiGetter get) {
    UeiOption option;
    option.code = code;
    option.get_kind = kind;
    option.get = std::move(get);
    return option;
}

UeiOption read_write(uint8_t code, ValueKind kind, UeiGetter get, UeiSetter set) {
    UeiOption option = read_only(code, kind, std::move(get));
    option.set_kind = kind;
    option.set = std::move(set);
    return option;
}

UeiOption write_only(uint8_t code, ValueKind kind, UeiSetter set) {
    UeiOption option;
    option.code = code;
    option.set_kind = kind;
    option.set = std::move(set);
    return option;
}

UeiOption call(uint8_t code, UeiSetter run) { return write_only(code, ValueKind::Void, std::move(run)); }

UeiOption byte_array(uint8_t code, size_t capacity, UeiBytesGetter get, UeiBytesSetter set) {
    UeiOption option;
    option.code = code;
    option.get_kind = ValueKind::Bytes;
    option.get_bytes = std::move(get);
    option.bytes_capacity = capacity;
    if (set) {
        option.set_kind = ValueKind::Bytes;
        option.set_bytes = std::move(set);
    }
    return option;
}

}  // namespace virtual_module
