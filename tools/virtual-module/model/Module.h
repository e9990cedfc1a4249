// One simulated module: its identity, settings and stored data, and the handlers that answer the
// packets addressed to it. Entities answered through UEI messages and raw commands are registered
// by command byte, so further entities and commands slot in without touching the rest.
// A module may be a router: the modules behind it on its I2C bus are modules of their own, reached
// through the router's links. Not thread-safe: one thread, or callers holding one lock, drive a
// module, the modules behind it and their links.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "FactoryData.h"
#include "LinkContext.h"
#include "LoaderSettings.h"
#include "ModuleIdentity.h"
#include "ModuleRestart.h"
#include "ModuleSettings.h"
#include "Packet.h"
#include "SignalEntity.h"
#include "StoreSlots.h"
#include "UeiEntity.h"
#include "UpgradeLoader.h"

namespace virtual_module {

using CommandHandler = std::function<void(LinkContext&, const Packet& request, std::vector<Packet>& replies)>;

class Module {
public:
    // A module with the standard entities and commands.
    Module(const ModuleIdentity& identity, TimePoint started);
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    const ModuleIdentity& identity() const { return identity_; }
    uint8_t address() const { return identity_.address; }
    // The serial number the module answers with now: the identity's, unless a restart into a
    // loader changed it.
    uint32_t serial_number() const { return serial_number_; }
    TimePoint started() const { return started_; }

    ModuleSettings& settings() { return settings_; }
    void save_settings() { saved_settings_ = settings_; }
    void restore_factory_settings();

    // The module starts over: volatile state goes, the saved settings come back, and every link
    // to it ends (a link notices through the generation number). The transports act on
    // last_restart(): how long the module is away, and the serial number it comes back with.
    void restart(TimePoint now, RestartReason reason);
    uint64_t generation() const { return generation_; }
    const std::optional<ModuleRestart>& last_restart() const { return last_restart_; }
    // False while a restart keeps the module away, and for good after one it never comes back from.
    bool present(TimePoint now) const { return !last_restart_ || last_restart_->back(now); }

    SlotStore& slots() { return slots_; }
    FactoryStore& factory_data() { return factory_data_; }
    SignalValues& signals() { return signals_; }
    uint8_t route_value() const { return route_value_; }
    void set_route_value(uint8_t value) { route_value_ = value; }

    LoaderState& loader() { return loader_; }
    LoaderMemory& loader_memory() { return loader_memory_; }
    const LoaderMemory& loader_memory() const { return loader_memory_; }
    LoaderFaults& loader_faults() { return loader_faults_; }

    // A module behind this one on its I2C bus, at the identity's address (which the identity's
    // router field is set to name this module). Throws std::invalid_argument when the address is
    // this module's own or already taken.
    Module& add_routed(ModuleIdentity identity, TimePoint started);
    Module* routed_module(uint8_t address) const;
    const std::map<uint8_t, std::unique_ptr<Module>>& routed_modules() const { return routed_; }

    void add_entity(UeiEntity entity);
    void add_command(uint8_t command, CommandHandler handler);
    const UeiEntity* find_entity(uint8_t command) const;
    const std::map<uint8_t, UeiEntity>& entities() const { return entities_; }

    // Answers one packet addressed to this module (heartbeat answers excepted: they belong to the link).
    void handle(LinkContext& context, const Packet& request, std::vector<Packet>& replies) const;

private:
    ModuleIdentity identity_;
    TimePoint started_;
    uint32_t serial_number_;
    uint64_t generation_ = 0;
    std::optional<ModuleRestart> last_restart_;
    ModuleSettings settings_;
    ModuleSettings saved_settings_;
    SlotStore slots_;
    FactoryStore factory_data_;
    SignalValues signals_;
    uint8_t route_value_ = 0;
    LoaderState loader_;
    LoaderMemory loader_memory_;
    LoaderFaults loader_faults_;
    std::map<uint8_t, std::unique_ptr<Module>> routed_;
    std::map<uint8_t, UeiEntity> entities_;
    std::map<uint8_t, CommandHandler> commands_;
};

}  // namespace virtual_module
