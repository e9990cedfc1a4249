#include "UpgradeLoader.h"

#include "CommandBytes.h"
#include "Module.h"
#include "Uei.h"

namespace virtual_module {

namespace {

// Sub-commands: data byte 1 of a raw upgrade packet.
constexpr uint8_t kInit = 0;
constexpr uint8_t kData = 1;
constexpr uint8_t kLoad = 2;
constexpr uint8_t kPrepare = 3;
constexpr uint8_t kSum = 4;
constexpr uint8_t kWrite = 5;
constexpr uint8_t kReboot = 6;
constexpr uint8_t kStatusReply = 7;  // how PREPARE, SUM and WRITE are answered

constexpr uint8_t kDataOption = 10;  // the UEI option that carries image bytes as a byte array
constexpr uint8_t kUpgradeInstances = 1;
// A byte array of option 10 is one piece of a block, and a block size is 16 bits.
constexpr size_t kMaxDataArrayBytes = 0xFFFF;

constexpr size_t kSubcommandHeaderLength = 2;     // command, sub-command
constexpr size_t kPrepareRequestLength = 7;       // command, sub-command, option, address (4)
constexpr size_t kWriteRequestLength = 4;         // command, sub-command, length (2)
constexpr size_t kAddressWidth = 4;
constexpr size_t kLengthWidth = 2;
constexpr size_t kSumWidth = 4;
constexpr size_t kBlockSizeWidth = 2;

Packet upgrade_reply(const Module& module, uint8_t subcommand) {
    return Packet{module.address(), {kUpgradeCommand, subcommand}};
}

Packet status_reply(const Module& module, ModuleError status) {
    Packet reply = upgrade_reply(module, kStatusReply);
    reply.data.push_back(error_byte(status));
    return reply;
}

ModuleError fixed_length(const Packet& request, size_t expected) {
    if (request.data.size() < expected) return ModuleError::ShortCommand;
    if (request.data.size() > expected) return ModuleError::Size;
    return ModuleError::None;
}

bool is_data_array_packet(const Packet& request) {
    uint8_t option_byte = request.data[1];
    return (option_byte & kOperationMask) == kSetOperation && (option_byte & kOptionCodeMask) == kDataOption;
}

// Places received bytes after those already received for this piece and adds them to the sum.
// All or nothing: a piece that would leave the address space or the loader's memory takes none.
bool take_bytes(LoaderState& loader, const uint8_t* bytes, size_t count) {
    uint64_t address = uint64_t{loader.piece_address} + loader.piece_length;
    if (address > UINT32_MAX) return false;
    if (!loader.received.write(static_cast<uint32_t>(address), bytes, count)) return false;
    loader.piece_length += count;
    for (size_t i = 0; i < count; ++i) loader.sum += bytes[i];
    return true;
}

void init(LinkContext& context, std::vector<Packet>& replies) {
    Module& module = context.module;
    module.loader() = LoaderState{};
    Packet reply = upgrade_reply(module, kInit);
    append_big_endian(reply.data, module.identity().loader.load_base, kAddressWidth);
    replies.push_back(std::move(reply));
}

void prepare(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    Module& module = context.module;
    LoaderState& loader = module.loader();
    ModuleError status = fixed_length(request, kPrepareRequestLength);
    if (status == ModuleError::None && module.loader_faults().prepare_status != 0) {
        context.note("PREPARE refused by the fault switch");
        status = static_cast<ModuleError>(module.loader_faults().prepare_status);
    }
    loader.prepared = status == ModuleError::None;
    if (loader.prepared) {
        loader.option = request.data[2];
        loader.piece_address = read_big_endian(request.data.data() + 3, kAddressWidth);
        loader.piece_length = 0;
        loader.sum = 0;
    }
    Packet reply = status_reply(module, status);
    append_big_endian(reply.data, module.identity().loader.block_size, kBlockSizeWidth);
    replies.push_back(std::move(reply));
}

void data(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    Module& module = context.module;
    LoaderState& loader = module.loader();
    LoaderMemory& memory = module.loader_memory();
    size_t count = request.data.size() - kSubcommandHeaderLength;
    size_t accepted = count;
    if (!loader.prepared) {
        context.note("DATA before PREPARE: nothing taken");
        accepted = 0;
    } else if (module.loader_faults().short_acknowledgement_once && !memory.short_acknowledgement_given && count > 0) {
        // The host is to send the same packet again, so nothing of it is kept.
        context.note("DATA acknowledged short by the fault switch, nothing taken");
        memory.short_acknowledgement_given = true;
        accepted = count - 1;
    } else if (!take_bytes(loader, request.data.data() + kSubcommandHeaderLength, count)) {
        context.note("DATA beyond the loader's memory: nothing taken");
        accepted = 0;
    }
    Packet reply = upgrade_reply(module, kData);
    reply.data.push_back(static_cast<uint8_t>(accepted));
    replies.push_back(std::move(reply));
}

void sum(LinkContext& context, std::vector<Packet>& replies) {
    Module& module = context.module;
    LoaderState& loader = module.loader();
    LoaderMemory& memory = module.loader_memory();
    uint32_t reported = loader.sum;
    loader.sum = 0;
    WrongSum fault = module.loader_faults().wrong_sum;
    if (fault == WrongSum::Always || (fault == WrongSum::Once && !memory.wrong_sum_given)) {
        context.note("SUM answered wrong by the fault switch");
        memory.wrong_sum_given = true;
        ++reported;
    }
    Packet reply = status_reply(module, loader.prepared ? ModuleError::None : ModuleError::Mode);
    append_big_endian(reply.data, reported, kSumWidth);
    replies.push_back(std::move(reply));
}

ModuleError commit_piece(LoaderState& loader, LoaderMemory& memory, size_t length) {
    if (!loader.prepared) return ModuleError::Mode;
    if (length != loader.piece_length) return ModuleError::Size;
    auto bytes = loader.received.read(loader.piece_address, length);
    if (!bytes || !memory.flash.write(loader.piece_address, *bytes)) return ModuleError::Overrun;
    loader.piece_address += static_cast<uint32_t>(length);
    return ModuleError::None;
}

void write(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    Module& module = context.module;
    LoaderState& loader = module.loader();
    ModuleError status = fixed_length(request, kWriteRequestLength);
    if (status == ModuleError::None) {
        size_t length = read_big_endian(request.data.data() + kSubcommandHeaderLength, kLengthWidth);
        status = commit_piece(loader, module.loader_memory(), length);
        if (status != ModuleError::None) context.note("WRITE refused: nothing written");
    }
    // Written or refused, the next piece starts afresh.
    loader.piece_length = 0;
    loader.sum = 0;
    replies.push_back(status_reply(module, status));
}

void load(LinkContext& context, std::vector<Packet>& replies) {
    Module& module = context.module;
    module.loader_memory().started_loader = module.loader().received;
    replies.push_back(upgrade_reply(module, kLoad));
    if (module.identity().loader.restart_on_load) {
        context.note("LOAD: the module restarts into the new loader");
        module.restart(context.now, RestartReason::LoaderStarted);
    }
}

// The link ends when the fault switch's data packet arrives; that packet is neither taken nor answered.
bool drop_link_now(Module& module) {
    uint64_t drop_at = module.loader_faults().drop_link_at_data_packet;
    return ++module.loader_memory().data_packets == drop_at;
}

}  // namespace

UeiEntity make_upgrade_entity() {
    UeiOption data_array;
    data_array.code = kDataOption;
    data_array.set_kind = ValueKind::Bytes;
    data_array.bytes_capacity = kMaxDataArrayBytes;
    data_array.set_bytes = [](LinkContext& context, uint8_t, const std::vector<uint8_t>& bytes) {
        LoaderState& loader = context.module.loader();
        if (!loader.prepared) return ModuleError::Mode;
        return take_bytes(loader, bytes.data(), bytes.size()) ? ModuleError::None : ModuleError::Overrun;
    };
    return UeiEntity(kUpgradeCommand, kUpgradeInstances, {data_array});
}

void handle_upgrade_command(LinkContext& context, const Packet& request, std::vector<Packet>& replies) {
    if (request.data.size() < kSubcommandHeaderLength) {
        context.note("upgrade request without a sub-command: not answered");
        return;
    }
    Module& module = context.module;
    uint8_t subcommand = request.data[1];
    bool uei = (subcommand & kOperationMask) != 0;
    if ((uei ? is_data_array_packet(request) : subcommand == kData) && drop_link_now(module)) {
        context.note("dropping the link at data packet " + std::to_string(module.loader_memory().data_packets));
        context.drop_link = true;
        return;
    }
    if (uei) {
        module.find_entity(kUpgradeCommand)->handle(context, request, replies);
        return;
    }
    switch (subcommand) {
    case kInit:
        init(context, replies);
        break;
    case kData:
        data(context, request, replies);
        break;
    case kLoad:
        load(context, replies);
        break;
    case kPrepare:
        prepare(context, request, replies);
        break;
    case kSum:
        sum(context, replies);
        break;
    case kWrite:
        write(context, request, replies);
        break;
    case kReboot:
        context.note("REBOOT: the module restarts into its firmware");
        module.restart(context.now, RestartReason::Rebooted);
        break;
    default:
        context.note("upgrade sub-command " + std::to_string(subcommand) + " not understood: not answered");
        break;
    }
}

}  // namespace virtual_module
