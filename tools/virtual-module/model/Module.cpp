#include "Module.h"

#include "CommandBytes.h"
#include "EchoCommand.h"
#include "QueryCommand.h"
#include "StreamEntity.h"
#include "SystemEntity.h"

namespace virtual_module {

Module::Module(const ModuleIdentity& identity, TimePoint started)
    : identity_(identity),
      started_(started),
      settings_(ModuleSettings::from_identity(identity)),
      saved_settings_(settings_) {
    factory_data_.records[0] = default_factory_record(identity);
    add_entity(make_system_entity());
    add_entity(make_stream_entity());
    add_entity(make_signal_entity());
    add_command(kQueryCommand, handle_query_command);
    add_command(kEchoCommand, handle_echo_command);
    add_command(kStoreSlotCommand, handle_store_slot_command);
    add_command(kFactoryCommand, handle_factory_command);
}

void Module::restore_factory_settings() {
    settings_ = ModuleSettings::from_identity(identity_);
    saved_settings_ = settings_;
}

void Module::restart(TimePoint now) {
    started_ = now;
    ++generation_;
    settings_ = saved_settings_;
    signals_ = SignalValues{};
    route_value_ = 0;
}

void Module::add_entity(UeiEntity entity) {
    uint8_t command = entity.command();
    entities_.insert_or_assign(command, std::move(entity));
}

void Module::add_command(uint8_t command, CommandHandler handler) { commands_[command] = std::move(handler); }

const UeiEntity* Module::find_entity(uint8_t command) const {
    auto entity = entities_.find(command);
    return entity == entities_.end() ? nullptr : &entity->second;
}

void Module::handle(LinkContext& context, const Packet& request, std::vector<Packet>& replies) const {
    if (request.data.empty()) {
        context.note("empty packet ignored");
        return;
    }
    uint8_t command = request.data[0];
    if (auto handler = commands_.find(command); handler != commands_.end()) {
        handler->second(context, request, replies);
    } else if (const UeiEntity* entity = find_entity(command)) {
        entity->handle(context, request, replies);
    } else if (is_raw_command(command)) {
        context.note("no handler for raw command " + std::to_string(command) + ": not answered");
    } else {
        replies.push_back(unknown_entity_reply(address(), request));
    }
}

}  // namespace virtual_module
