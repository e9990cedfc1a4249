#include "ModuleLink.h"

#include "CommandBytes.h"

namespace virtual_module {

ModuleLink::ModuleLink(Module& module, const LinkFaults& faults, TimePoint now, LinkObserver* observer)
    : module_(module), faults_(faults), observer_(observer), module_generation_(module.generation()),
      next_stream_check_(now) {}

LinkEnd ModuleLink::end() const {
    if (dropped_) return LinkEnd::Dropped;
    if (module_.generation() != module_generation_) return LinkEnd::Restarted;
    return LinkEnd::Open;
}

void ModuleLink::note(const std::string& text) const {
    if (observer_ != nullptr) observer_->event(text);
}

void ModuleLink::receive(const uint8_t* bytes, size_t count, TimePoint now) {
    for (size_t i = 0; i < count && end() == LinkEnd::Open; ++i) {
        size_t framing_errors = reader_.framing_errors();
        Packet packet;
        bool complete = reader_.feed(bytes[i], packet);
        if (reader_.framing_errors() != framing_errors) note("length byte above 28: packet boundary lost");
        if (!complete) continue;
        if (observer_ != nullptr) observer_->packet_received(packet);
        if (faults_.drop_after_packets != 0 && ++packets_received_ >= faults_.drop_after_packets) {
            note("dropping the link after " + std::to_string(packets_received_) + " packets");
            dropped_ = true;
            return;
        }
        heartbeat_.host_spoke();
        handle(packet, now);
    }
    if (end() != LinkEnd::Open) return;
    send_heartbeat_if_due(now);
    collect_samples(now, now + faults_.reply_delay);
}

void ModuleLink::handle(const Packet& packet, TimePoint now) {
    TimePoint due = now + faults_.reply_delay;
    if (packet.address == kSyncAddress) {
        if (!packet.data.empty()) {
            note("sync request with data ignored");
        } else if (!faults_.silent_to_sync) {
            queue(Packet{module_.address(), {}}, due);
        }
        return;
    }
    if (packet.address == kForceRouteAddress) return;
    if (packet.address != module_.address()) {
        if (Module* routed = module_.routed_module(packet.address)) {
            handle_routed(*routed, packet, now);
        } else {
            note("packet for address " + std::to_string(packet.address) + " ignored");
        }
        return;
    }
    if (!packet.data.empty() && packet.data[0] == kHeartbeatCommand) {
        if (packet.data.size() != kHeartbeatLength || !heartbeat_.answer(packet.data[1])) {
            note("heartbeat answer that answers nothing ignored");
        }
        return;
    }
    answer(module_, state_, packet, now);
}

// A routed module sends no heartbeats of its own (the router's link has them), so it has none to
// be answered; while a restart keeps it away it answers nothing at all.
void ModuleLink::handle_routed(Module& routed, const Packet& packet, TimePoint now) {
    if (!routed.present(now)) {
        note("routed module " + std::to_string(packet.address) + " is away: not answered");
        return;
    }
    if (!packet.data.empty() && packet.data[0] == kHeartbeatCommand) {
        note("heartbeat answer for a routed module ignored");
        return;
    }
    answer(routed, routed_state(routed), packet, now);
}

void ModuleLink::answer(Module& module, LinkState& state, const Packet& packet, TimePoint now) {
    std::vector<Packet> replies;
    LinkContext context{module, state, now, observer_};
    module.handle(context, packet, replies);
    if (context.drop_link) {
        dropped_ = true;
        return;
    }
    for (Packet& reply : replies) queue(std::move(reply), now + faults_.reply_delay);
}

LinkState& ModuleLink::routed_state(Module& routed) {
    auto [entry, added] = routed_states_.try_emplace(routed.address());
    if (added || entry->second.module_generation != routed.generation()) {
        entry->second = RoutedLinkState{LinkState{}, routed.generation()};
    }
    return entry->second.state;
}

bool ModuleLink::streaming() const {
    if (state_.streams.streaming()) return true;
    for (const auto& [address, routed] : routed_states_) {
        if (routed.state.streams.streaming()) return true;
    }
    return false;
}

void ModuleLink::send_heartbeat_if_due(TimePoint now) {
    bool was_paused = heartbeat_.paused();
    std::optional<uint8_t> value = heartbeat_.due(now, module_.settings().heartbeat_interval);
    if (value) queue(Packet{module_.address(), {kHeartbeatCommand, *value}}, now);
    if (!was_paused && heartbeat_.paused()) note("heartbeats unanswered: paused until the host speaks");
}

void ModuleLink::collect_samples(TimePoint now, TimePoint due) {
    if (!streaming()) return;
    std::vector<Packet> samples;
    LinkContext context{module_, state_, now, observer_};
    if (state_.streams.streaming()) collect_stream_samples(context, samples);
    for (auto& [address, routed] : routed_states_) {
        Module* module = module_.routed_module(address);
        if (!routed.state.streams.streaming() || !module->present(now)) continue;
        LinkContext routed_context{*module, routed_state(*module), now, observer_};
        collect_stream_samples(routed_context, samples);
    }
    for (Packet& sample : samples) queue(std::move(sample), due);
    next_stream_check_ = now + kStreamCheckInterval;
}

void ModuleLink::tick(TimePoint now) {
    if (end() != LinkEnd::Open) return;
    send_heartbeat_if_due(now);
    if (now >= next_stream_check_) collect_samples(now, now);
}

void ModuleLink::queue(Packet packet, TimePoint due) {
    size_t size = packet.data.size() + 2;
    if (queued_bytes_ + size > kMaxQueuedOutputBytes) {
        note("output queue full: packet dropped");
        return;
    }
    queued_bytes_ += size;
    output_.push_back(QueuedPacket{std::move(packet), due});
}

std::vector<uint8_t> ModuleLink::take_output(TimePoint now) {
    std::vector<uint8_t> bytes;
    if (dropped_) return bytes;
    while (!output_.empty() && output_.front().due <= now) {
        const Packet& packet = output_.front().packet;
        if (observer_ != nullptr) observer_->packet_sent(packet);
        append_wire_bytes(packet, bytes);
        queued_bytes_ -= packet.data.size() + 2;
        output_.pop_front();
    }
    return bytes;
}

std::optional<TimePoint> ModuleLink::next_deadline(bool output_can_be_taken) const {
    std::optional<TimePoint> deadline;
    auto consider = [&deadline](TimePoint candidate) {
        if (!deadline || candidate < *deadline) deadline = candidate;
    };
    if (output_can_be_taken && !output_.empty()) consider(output_.front().due);
    if (end() != LinkEnd::Open) return deadline;
    if (auto heartbeat = heartbeat_.next_deadline()) consider(*heartbeat);
    if (streaming()) consider(next_stream_check_);
    return deadline;
}

}  // namespace virtual_module
