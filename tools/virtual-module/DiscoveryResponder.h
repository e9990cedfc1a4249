// The Ethernet discovery answer: requests to the discovery group arrive on UDP port 9888 through
// the chosen interface, and each is answered to the sender's address on port 9889.
#pragma once

#include <string>

#include "DiscoveryReply.h"
#include "FileDescriptor.h"
#include "TraceLog.h"

namespace virtual_module {

class DiscoveryResponder {
public:
    // Joins the group on the interface (a name or an IPv4 address); throws std::runtime_error
    // when the interface is unknown or the port cannot be had.
    DiscoveryResponder(const std::string& interface, const DiscoveryAnswer& answer);

    int fd() const { return socket_.get(); }
    // A module that restarted may come back under another serial number.
    void set_serial_number(uint32_t serial_number) { answer_.serial_number = serial_number; }
    // Answers every request waiting on the socket.
    void answer_waiting_requests(const TraceLog& log) { take_waiting_requests(log, true); }
    // Takes every waiting request unanswered, as a module that is away does.
    void ignore_waiting_requests(const TraceLog& log) { take_waiting_requests(log, false); }

private:
    void take_waiting_requests(const TraceLog& log, bool answer);

    FileDescriptor socket_;
    DiscoveryAnswer answer_;
};

}  // namespace virtual_module
