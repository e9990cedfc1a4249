#include "TraceLog.h"

#include <cstdio>

namespace virtual_module {

void TraceLog::line(const std::string& link, const std::string& text) const {
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::fprintf(stderr, "%8.3f %s %s\n", seconds, link.c_str(), text.c_str());
    std::fflush(stderr);
}

void LinkTrace::packet_received(const Packet& packet) {
    if (log_.packets()) log_.line(link_, "in  " + hex_text(wire_bytes(packet)));
}

void LinkTrace::packet_sent(const Packet& packet) {
    if (log_.packets()) log_.line(link_, "out " + hex_text(wire_bytes(packet)));
}

void LinkTrace::event(const std::string& text) {
    if (log_.packets()) log_.line(link_, "-- " + text);
}

}  // namespace virtual_module
