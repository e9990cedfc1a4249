// One simulated module: its identity, settings and stored data, and the handlers that answer the
// packets addressed to it. Entities answered through UEI messages and raw commands are registered
// by command byte, so further entities and commands slot in without touching the rest.
// Not thread-safe: one thread, or callers holding one lock, drive a module and its links.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "FactoryData.h"
#include "LinkContext.h"
#include "ModuleIdentity.h"
#include "ModuleSettings.h"
#include "Packet.h"
#include "SignalEntity.h"
#include "StoreSlots.h"
#include "UeiEntity.h"

namespace virtual_module {

using CommandHandler = std::function<void(LinkContext&, const Packet& request, std::vector<Packet>& replies)>;

class Module {
public:
    // A module with the standard entities and commands.
    Module(const ModuleIdentity& identity, TimePoint started);

    const ModuleIdentity& identity() const { return identity_; }
    uint8_t address() const { return identity_.address; }
    TimePoint started() const { return started_; }

    ModuleSettings& settings() { return settings_; }
    void save_settings() { saved_settings_ = settings_; }
    void restore_factory_settings();

    // The module starts over: volatile state goes, the saved settings come back, and every link
    // to it ends (a link notices through the generation number).
    void restart(TimePoint now);
    uint64_t generation() const { return generation_; }

    SlotStore& slots() { return slots_; }
    FactoryStore& factory_data() { return factory_data_; }
    SignalValues& signals() { return signals_; }
    uint8_t route_value() const { return route_value_; }
    void set_route_value(uint8_t value) { route_value_ = value; }

    void add_entity(UeiEntity entity);
    void add_command(uint8_t command, CommandHandler handler);
    const UeiEntity* find_entity(uint8_t command) const;
    const std::map<uint8_t, UeiEntity>& entities() const { return entities_; }

    // Answers one packet addressed to this module (heartbeat answers excepted: they belong to the link).
    void handle(LinkContext& context, const Packet& request, std::vector<Packet>& replies) const;

private:
    ModuleIdentity identity_;
    TimePoint started_;
    uint64_t generation_ = 0;
    ModuleSettings settings_;
    ModuleSettings saved_settings_;
    SlotStore slots_;
    FactoryStore factory_data_;
    SignalValues signals_;
    uint8_t route_value_ = 0;
    std::map<uint8_t, UeiEntity> entities_;
    std::map<uint8_t, CommandHandler> commands_;
};

}  // namespace virtual_module
