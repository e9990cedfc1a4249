#include "FactoryData.h"

#include <algorithm>
#include <cstdio>

#include "CommandBytes.h"
#include "LinkContext.h"
#include "Module.h"
#include "ModuleError.h"

namespace virtual_module {

namespace {

constexpr uint8_t kKindMask = 0x0F;
constexpr uint8_t kWriteFlag = 0x10;
constexpr uint8_t kCloseFlag = 0x20;
constexpr uint8_t kFirstPacketFlag = 0x40;
constexpr uint8_t kErrorFlag = 0x80;
constexpr size_t kHeaderLength = 2;  // command, kind and flags
constexpr size_t kCloseRequestLength = 4;  // command, close flag, total high byte, total low byte
constexpr size_t kChunkLength = kMaxPacketData - kHeaderLength;
constexpr uint8_t kCloseStatusOk = 0;

Packet error_reply(uint8_t kind, ModuleError error) {
    return Packet{0, {kFactoryCommand, static_cast<uint8_t>(kind | kErrorFlag), error_byte(error)}};
}

Packet close_transfer(FactoryStore& store, FactoryTransfer& transfer, const Packet& request) {
    if (request.data.size() < kCloseRequestLength) return error_reply(0, ModuleError::ShortCommand);
    size_t total = (size_t{request.data[2]} << 8) | request.data[3];
    FactoryTransfer finished = std::move(transfer);
    transfer = FactoryTransfer{};
    switch (finished.direction) {
    case FactoryTransfer::Direction::None:
        return error_reply(0, ModuleError::Param);
    case FactoryTransfer::Direction::Reading:
        if (total != finished.position) return error_reply(0, ModuleError::Size);
        break;
    case FactoryTransfer::Direction::Writing:
        if (total != finished.staged.size()) return error_reply(0, ModuleError::Size);
        store.records[finished.kind] = std::move(finished.staged);
        break;
    }
    return Packet{0, {kFactoryCommand, 0, kCloseStatusOk}};
}

Packet read_chunk(FactoryStore& store, FactoryTransfer& transfer, uint8_t kind, bool first) {
    if (first) transfer = FactoryTransfer{FactoryTransfer::Direction::Reading, kind, 0, {}};
    if (transfer.direction != FactoryTransfer::Direction::Reading || transfer.kind != kind) {
        return error_reply(kind, ModuleError::Param);
    }
    const std::vector<uint8_t>& record = store.records[kind];
    size_t chunk = std::min(kChunkLength, record.size() - transfer.position);
    Packet reply{0, {kFactoryCommand, kind}};
    auto start = record.begin() + static_cast<long>(transfer.position);
    reply.data.insert(reply.data.end(), start, start + static_cast<long>(chunk));
    transfer.position += chunk;
    return reply;
}

Packet write_chunk(FactoryTransfer& transfer, uint8_t kind, bool first, const Packet& request) {
    if (first) transfer = FactoryTransfer{FactoryTransfer::Direction::Writing, kind, 0, {}};
    if (transfer.direction != FactoryTransfer::Direction::Writing || transfer.kind != kind) {
        return error_reply(kind, ModuleError::Param);
    }
    size_t count = request.data.size() - kHeaderLength;
    if (transfer.staged.size() + count > kFactoryCapacity) {
        transfer = FactoryTransfer{};
        return error_reply(kind, ModuleError::Overrun);
    }
    transfer.staged.insert(transfer.staged.end(), request.data.begin() + kHeaderLength, request.data.end());
    return Packet{0, {kFactoryCommand, kind}};
}

}  // namespace

std::vector<uint8_t> default_factory_record(const ModuleIdentity& identity) {
    char text[64];
    int length = std::snprintf(text, sizeof text, "serial %08X model %u", identity.serial_number, identity.model);
    return std::vector<uint8_t>(text, text + length);
}

void handle_factory_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    Packet reply;
    if (request.data.size() < kHeaderLength) {
        reply = error_reply(0, ModuleError::ShortCommand);
    } else {
        uint8_t flags = request.data[1];
        uint8_t kind = flags & kKindMask;
        FactoryStore& store = context.module.factory_data();
        FactoryTransfer& transfer = context.link.factory_transfer;
        bool first = (flags & kFirstPacketFlag) != 0;
        if ((flags & kCloseFlag) != 0) {
            reply = close_transfer(store, transfer, request);
        } else if ((flags & kWriteFlag) != 0) {
            reply = write_chunk(transfer, kind, first, request);
        } else {
            reply = read_chunk(store, transfer, kind, first);
        }
    }
    reply.address = context.module.address();
    replies.push_back(std::move(reply));
}

}  // namespace virtual_module
