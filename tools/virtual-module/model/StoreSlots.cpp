#include "StoreSlots.h"

#include <algorithm>

#include "CommandBytes.h"
#include "LinkContext.h"
#include "Module.h"
#include "ModuleError.h"

namespace virtual_module {

namespace {

constexpr uint8_t kCapacityOperation = 1;
constexpr uint8_t kSizeOperation = 2;
constexpr uint8_t kOpenForReadingOperation = 3;
constexpr uint8_t kOpenForWritingOperation = 4;
constexpr uint8_t kReadOperation = 6;
constexpr uint8_t kWriteOperation = 7;
constexpr uint8_t kCloseOperation = 8;
constexpr uint8_t kOperationErrorFlag = 0x80;

constexpr size_t kSlotRequestLength = 4;    // command, operation, store, slot
constexpr size_t kHandleRequestLength = 3;  // command, operation, handle
constexpr size_t kMaxReadChunk = kMaxPacketData - kHandleRequestLength;
constexpr uint8_t kFirstHandle = 1;  // handle numbers the module gives out start here
constexpr uint8_t kCloseStatusOk = 0;

uint8_t byte_or_zero(const Packet& request, size_t position) {
    return position < request.data.size() ? request.data[position] : 0;
}

Packet slot_error(const Packet& request, uint8_t operation, ModuleError error) {
    return Packet{0, {kStoreSlotCommand, static_cast<uint8_t>(operation | kOperationErrorFlag), byte_or_zero(request, 2),
                      byte_or_zero(request, 3), error_byte(error)}};
}

Packet handle_error(uint8_t operation, uint8_t handle, ModuleError error) {
    return Packet{0, {kStoreSlotCommand, static_cast<uint8_t>(operation | kOperationErrorFlag), handle, error_byte(error)}};
}

std::optional<SlotHandle>* find_handle(SlotHandleTable& table, uint8_t handle) {
    if (handle < kFirstHandle || handle - kFirstHandle >= static_cast<int>(table.handles.size())) return nullptr;
    std::optional<SlotHandle>& entry = table.handles[handle - kFirstHandle];
    return entry ? &entry : nullptr;
}

Packet slot_request(LinkContext& context, const Packet& request, uint8_t operation) {
    if (request.data.size() < kSlotRequestLength) return slot_error(request, operation, ModuleError::ShortCommand);
    uint8_t store = request.data[2];
    uint8_t slot = request.data[3];
    std::vector<uint8_t>* contents = context.module.slots().slot(store, slot);
    if (contents == nullptr) return slot_error(request, operation, ModuleError::IndexRange);

    if (operation == kCapacityOperation || operation == kSizeOperation) {
        size_t value = operation == kCapacityOperation ? kSlotCapacity : contents->size();
        return Packet{0, {kStoreSlotCommand, operation, store, slot, static_cast<uint8_t>(value >> 8),
                          static_cast<uint8_t>(value & 0xFF)}};
    }

    SlotHandleTable& table = context.link.slot_handles;
    bool writing = operation == kOpenForWritingOperation;
    if (writing) {
        bool already_writing = std::any_of(table.handles.begin(), table.handles.end(), [&](const auto& handle) {
            return handle && handle->writing && handle->store == store && handle->slot == slot;
        });
        if (already_writing) return slot_error(request, operation, ModuleError::Busy);
    }
    auto free_entry = std::find_if(table.handles.begin(), table.handles.end(), [](const auto& handle) { return !handle; });
    if (free_entry == table.handles.end()) return slot_error(request, operation, ModuleError::Resource);
    SlotHandle handle;
    handle.store = store;
    handle.slot = slot;
    handle.writing = writing;
    if (!writing) handle.bytes = *contents;
    *free_entry = std::move(handle);
    uint8_t number = static_cast<uint8_t>(kFirstHandle + (free_entry - table.handles.begin()));
    return Packet{0, {kStoreSlotCommand, operation, store, slot, number}};
}

Packet handle_request(LinkContext& context, const Packet& request, uint8_t operation) {
    if (request.data.size() < kHandleRequestLength) return handle_error(operation, 0, ModuleError::ShortCommand);
    uint8_t number = request.data[2];
    std::optional<SlotHandle>* entry = find_handle(context.link.slot_handles, number);
    if (entry == nullptr) return handle_error(operation, number, ModuleError::NotFound);
    SlotHandle& handle = **entry;

    switch (operation) {
    case kReadOperation: {
        if (handle.writing) return handle_error(operation, number, ModuleError::Mode);
        if (handle.read_position >= handle.bytes.size()) return handle_error(operation, number, ModuleError::EndOfFile);
        size_t chunk = std::min(kMaxReadChunk, handle.bytes.size() - handle.read_position);
        Packet reply{0, {kStoreSlotCommand, operation, number}};
        auto start = handle.bytes.begin() + static_cast<long>(handle.read_position);
        reply.data.insert(reply.data.end(), start, start + static_cast<long>(chunk));
        handle.read_position += chunk;
        return reply;
    }
    case kWriteOperation: {
        if (!handle.writing) return handle_error(operation, number, ModuleError::Mode);
        if (request.data.size() == kHandleRequestLength) return handle_error(operation, number, ModuleError::ShortCommand);
        auto data_begin = request.data.begin() + kHandleRequestLength;
        size_t count = static_cast<size_t>(request.data.end() - data_begin);
        if (handle.bytes.size() + count > kSlotCapacity) return handle_error(operation, number, ModuleError::Overrun);
        uint8_t sum = 0;
        for (auto byte = data_begin; byte != request.data.end(); ++byte) sum = static_cast<uint8_t>(sum + *byte);
        handle.bytes.insert(handle.bytes.end(), data_begin, request.data.end());
        return Packet{0, {kStoreSlotCommand, operation, number, sum}};
    }
    default: {  // close
        if (handle.writing) *context.module.slots().slot(handle.store, handle.slot) = std::move(handle.bytes);
        entry->reset();
        return Packet{0, {kStoreSlotCommand, operation, number, kCloseStatusOk}};
    }
    }
}

}  // namespace

std::vector<uint8_t>* SlotStore::slot(uint8_t store, uint8_t slot) {
    if (store >= kStoreCount || slot >= kSlotsPerStore) return nullptr;
    return &slots_[store][slot];
}

void handle_store_slot_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    if (request.data.size() < 2) {
        context.note("slot request without an operation ignored");
        return;
    }
    uint8_t operation = request.data[1];
    Packet reply;
    switch (operation) {
    case kCapacityOperation:
    case kSizeOperation:
    case kOpenForReadingOperation:
    case kOpenForWritingOperation:
        reply = slot_request(context, request, operation);
        break;
    case kReadOperation:
    case kWriteOperation:
    case kCloseOperation:
        reply = handle_request(context, request, operation);
        break;
    default:
        reply = handle_error(operation, byte_or_zero(request, 2), ModuleError::Unimplemented);
        break;
    }
    reply.address = context.module.address();
    replies.push_back(std::move(reply));
}

}  // namespace virtual_module
