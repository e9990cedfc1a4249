// Serves one module over its transports from a single thread: a poll loop over the stop signals,
// standard input (when asked), the TCP listener and its connections, the pseudo-terminal and the
// discovery socket, waking for whatever a link has due next.
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

    const Options& options_;
    Module& module_;
    const TraceLog& log_;
    FileDescriptor stop_signals_;
    std::optional<TcpListener> listener_;
    std::unique_ptr<PseudoTerminal> pty_;
    std::optional<DiscoveryResponder> discovery_;
    std::list<Connection> connections_;
    unsigned connections_made_ = 0;
};

}  // namespace virtual_module
