#include "Module.h"

#include <stdexcept>

#include "CommandBytes.h"
#include "EchoCommand.h"
#include "I2CBus.h"
#include "QueryCommand.h"
#include "StreamEntity.h"
#include "SystemEntity.h"
#include "UpgradeLoader.h"

namespace virtual_module {

Module::Module(const ModuleIdentity& identity, TimePoint started)
    : identity_(identity),
      started_(started),
      serial_number_(identity.serial_number),
      settings_(ModuleSettings::from_identity(identity)),
      saved_settings_(settings_) {
    factory_data_.records[0] = default_factory_record(identity);
    add_entity(make_system_entity());
    add_entity(make_stream_entity());
    add_entity(make_signal_entity());
    add_entity(make_upgrade_entity());
    add_command(kQueryCommand, handle_query_command);
    add_command(kEchoCommand, handle_echo_command);
    add_command(kStoreSlotCommand, handle_store_slot_command);
    add_command(kFactoryCommand, handle_factory_command);
    add_command(kI2CCommand, handle_i2c_command);
    add_command(kUpgradeCommand, handle_upgrade_command);
}

void Module::restore_factory_settings() {
    settings_ = ModuleSettings::from_identity(identity_);
    saved_settings_ = settings_;
}

void Module::restart(TimePoint now, RestartReason reason) {
    ModuleRestart restart;
    restart.reason = reason;
    restart.at = now;
    if (loader_faults_.never_back_after != reason) restart.back_at = now + identity_.restart_time;
    // A started loader may answer as its own serial number; the firmware answers as the module's.
    if (reason == RestartReason::LoaderStarted && identity_.loader.loader_serial) {
        serial_number_ = *identity_.loader.loader_serial;
    } else if (reason == RestartReason::Rebooted) {
        serial_number_ = identity_.serial_number;
    }
    restart.serial_number = serial_number_;
    last_restart_ = restart;

    started_ = now;
    ++generation_;
    settings_ = saved_settings_;
    signals_ = SignalValues{};
    route_value_ = 0;
    loader_ = LoaderState{};
}

Module& Module::add_routed(ModuleIdentity identity, TimePoint started) {
    if (identity.address == address()) throw std::invalid_argument("the router's own address");
    if (routed_.count(identity.address) != 0) throw std::invalid_argument("an address already taken");
    identity.router = address();
    auto module = std::make_unique<Module>(identity, started);
    Module& routed = *module;
    routed_.emplace(identity.address, std::move(module));
    return routed;
}

Module* Module::routed_module(uint8_t address) const {
    auto routed = routed_.find(address);
    return routed == routed_.end() ? nullptr : routed->second.get();
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
