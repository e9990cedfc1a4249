// Serves one module (and the modules behind it) over its transports from a single thread: a poll
// loop over the stop signals, standard input (when asked), the TCP listener and its connections,
// the pseudo-terminal and the discovery socket, waking for whatever a link has due next. When the
// module restarts, its connections end once their last answer is out; while the restart keeps it
// away the listener is closed and the pseudo-terminal link waits, and both come back with it on the
// same port and device. A module that never comes back closes them for good.
#pragma once

#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "DiscoveryResponder.h"
#include "FileDescriptor.h"
#include "Module.h"
#include "ModuleLink.h"
#include "Options.h"
#include "PseudoTerminal.h"
#include "TcpListener.h"
#include "TraceLog.h"

namespace virtual_module {

class Server {
public:
    Server(const Options& options, Module& module, const TraceLog& log);
    ~Server();

    // Opens every transport and prints its line on standard output, then "ready".
    // Throws std::runtime_error when a transport cannot be had.
    void start();
    // Serves until SIGTERM or SIGINT (or the end of standard input when asked); the exit status.
    // The memory dump, when asked for, is written last.
    int run();

private:
    struct Connection {
        FileDescriptor fd;
        std::string name;
        bool pseudo_terminal = false;
        std::unique_ptr<LinkTrace> trace;
        std::unique_ptr<ModuleLink> link;
        std::vector<uint8_t> pending;  // bytes taken from the link, not yet written
        size_t written = 0;
        bool closed = false;
    };

    void open_link(Connection& connection);
    void accept_connections();
    // True while so much output waits that the host's input is left unread (flow control).
    bool holding_back(const Connection& connection) const;
    void read_from(Connection& connection);
    void service(Connection& connection, TimePoint now);
    void write_pending(Connection& connection);
    void close(Connection& connection, const std::string& reason);
    int poll_timeout(TimePoint now) const;
    int serve();
    void follow_module_restart(TimePoint now);
    void reopen_listener(TimePoint now);
    bool gone_for_good() const;
    uint64_t restarts_so_far() const;  // of the module and those behind it
    void write_memory_dump();

    const Options& options_;
    Module& module_;
    const TraceLog& log_;
    FileDescriptor stop_signals_;
    std::optional<TcpListener> listener_;
    std::unique_ptr<PseudoTerminal> pty_;
    std::optional<DiscoveryResponder> discovery_;
    std::list<Connection> connections_;
    unsigned connections_made_ = 0;
    uint16_t tcp_port_ = 0;       // the port listened on, kept for listening again after a restart
    bool listener_lost_ = false;  // the port could not be had again
    uint64_t generation_seen_ = 0;
    uint64_t restarts_dumped_ = 0;
};

}  // namespace virtual_module
