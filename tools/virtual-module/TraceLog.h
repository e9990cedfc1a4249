// Lines on standard error: connections coming and going always, every packet and the links'
// notes with --trace. Each line starts with the seconds since start and the link's name:
//     0.012 tcp1 in  AD 00       a packet from the host (address, length, data)
//     0.012 tcp1 out 02 00       a packet to the host
//     0.250 tcp1 -- connected from 127.0.0.1:40112
#pragma once

#include <chrono>
#include <string>

#include "LinkObserver.h"

namespace virtual_module {

class TraceLog {
public:
    explicit TraceLog(bool packets) : packets_(packets), start_(std::chrono::steady_clock::now()) {}

    bool packets() const { return packets_; }
    void line(const std::string& link, const std::string& text) const;

private:
    bool packets_;
    std::chrono::steady_clock::time_point start_;
};

// Reports one link's packets and notes to the trace log.
class LinkTrace : public LinkObserver {
public:
    LinkTrace(const TraceLog& log, std::string link) : log_(log), link_(std::move(link)) {}

    void packet_received(const Packet& packet) override;
    void packet_sent(const Packet& packet) override;
    void event(const std::string& text) override;

private:
    const TraceLog& log_;
    std::string link_;
};

}  // namespace virtual_module
