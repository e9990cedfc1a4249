#include "Server.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "MemoryDump.h"
#include "SystemError.h"

namespace virtual_module {

namespace {

constexpr size_t kMaxConnections = 8;
// A host that sends faster than it reads is held back by not reading from it while this much output
// waits; the read chunk is small enough that the answers to one chunk still fit in the link's queue.
constexpr size_t kInputPauseBytes = 16 * 1024;
constexpr size_t kReadChunk = 1024;
constexpr const char* kPtyName = "pty";
// A pseudo-terminal's master does not always report room again once the host reads, so bytes that
// could not be written are retried this often as well as on POLLOUT.
constexpr std::chrono::milliseconds kBlockedWriteRetry{10};
constexpr const char* kModuleName = "module";
constexpr const char* kDumpTemporarySuffix = ".partial";

void print_line(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

Server::Server(const Options& options, Module& module, const TraceLog& log)
    : options_(options), module_(module), log_(log) {}

Server::~Server() = default;

void Server::start() {
    // The stop signals arrive as readable data, so the loop ends cleanly between two steps.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (sigprocmask(SIG_BLOCK, &signals, nullptr) != 0) throw system_error("cannot block the stop signals");
    stop_signals_ = FileDescriptor(signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!stop_signals_.valid()) throw system_error("cannot watch the stop signals");
    signal(SIGPIPE, SIG_IGN);  // a host that went away shows up as a write error instead

    if (options_.tcp) {
        listener_.emplace(*options_.tcp);
        tcp_port_ = listener_->port();
        print_line("tcp " + listener_->address() + " " + std::to_string(tcp_port_));
    }
    if (options_.pty) {
        pty_ = std::make_unique<PseudoTerminal>();
        Connection connection;
        connection.name = kPtyName;
        connection.pseudo_terminal = true;
        open_link(connection);
        connections_.push_back(std::move(connection));
        print_line("pty " + pty_->path());
    }
    if (options_.discovery_interface) {
        const ModuleIdentity& identity = module_.identity();
        discovery_.emplace(*options_.discovery_interface,
                           DiscoveryAnswer{identity.address, listener_->port(), identity.serial_number, identity.model});
        print_line("discovery " + *options_.discovery_interface + " " + std::to_string(kDiscoveryRequestPort));
    }
    print_line("ready");
}

void Server::open_link(Connection& connection) {
    connection.trace = std::make_unique<LinkTrace>(log_, connection.name);
    connection.link = std::make_unique<ModuleLink>(module_, options_.faults, std::chrono::steady_clock::now(),
                                                   connection.trace.get());
    connection.pending.clear();
    connection.written = 0;
}

void Server::accept_connections() {
    for (;;) {
        std::string peer;
        FileDescriptor fd = listener_->accept(peer);
        if (!fd.valid()) return;
        std::string name = "tcp" + std::to_string(++connections_made_);
        size_t tcp_connections = static_cast<size_t>(std::count_if(
            connections_.begin(), connections_.end(), [](const Connection& c) { return !c.pseudo_terminal; }));
        if (tcp_connections >= kMaxConnections) {
            log_.line(name, "-- refused " + peer + ": too many connections");
            continue;
        }
        if (!module_.present(std::chrono::steady_clock::now())) {
            log_.line(name, "-- refused " + peer + ": the module is away");
            continue;
        }
        Connection connection;
        connection.fd = std::move(fd);
        connection.name = name;
        open_link(connection);
        log_.line(name, "-- connected from " + peer);
        connections_.push_back(std::move(connection));
    }
}

bool Server::holding_back(const Connection& connection) const {
    return connection.pending.size() - connection.written + connection.link->queued_output_bytes() >= kInputPauseBytes;
}

void Server::read_from(Connection& connection) {
    int fd = connection.pseudo_terminal ? pty_->fd() : connection.fd.get();
    uint8_t buffer[kReadChunk];
    while (!holding_back(connection)) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            connection.link->receive(buffer, static_cast<size_t>(count), std::chrono::steady_clock::now());
            if (connection.link->end() == LinkEnd::Dropped) return;
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(connection, count == 0 ? "closed by the host" : "read failed");
        return;
    }
}

void Server::write_pending(Connection& connection) {
    int fd = connection.pseudo_terminal ? pty_->fd() : connection.fd.get();
    while (connection.written < connection.pending.size()) {
        ssize_t count = ::write(fd, connection.pending.data() + connection.written, connection.pending.size() - connection.written);
        if (count > 0) {
            connection.written += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EINTR)) return;
        close(connection, "write failed");
        return;
    }
    connection.pending.clear();
    connection.written = 0;
}

void Server::service(Connection& connection, TimePoint now) {
    ModuleLink& link = *connection.link;
    link.tick(now);
    if (link.end() == LinkEnd::Dropped) {
        close(connection, "dropped by the fault switch");
        return;
    }
    if (connection.pending.empty()) connection.pending = link.take_output(now);
    write_pending(connection);
    if (connection.closed || link.end() != LinkEnd::Restarted) return;
    if (!connection.pending.empty() || link.output_pending()) return;
    if (connection.pseudo_terminal) {
        // The serial line stays and the link starts over once the module is back; what the host
        // sends meanwhile is lost, as it is to a module that is restarting.
        if (gone_for_good()) {
            close(connection, "module gone for good");
        } else if (module_.present(now)) {
            log_.line(connection.name, "-- module restarted");
            open_link(connection);
        }
    } else {
        close(connection, "module restarted");
    }
}

void Server::close(Connection& connection, const std::string& reason) {
    if (connection.closed) return;
    connection.closed = true;
    log_.line(connection.name, "-- " + reason);
    if (connection.pseudo_terminal) pty_.reset();  // the host sees the serial port go away
    connection.fd.reset();
}

int Server::poll_timeout(TimePoint now) const {
    std::optional<TimePoint> earliest;
    for (const Connection& connection : connections_) {
        if (!connection.pending.empty() && (!earliest || now + kBlockedWriteRetry < *earliest)) {
            earliest = now + kBlockedWriteRetry;
        }
        // A connection still writing waits for the socket to take bytes, not for the link's output.
        auto deadline = connection.link->next_deadline(connection.pending.empty());
        if (deadline && (!earliest || *deadline < *earliest)) earliest = deadline;
    }
    // A module away after a restart is to be served again (listener, serial link) when it is back.
    const auto& restart = module_.last_restart();
    if (restart && restart->back_at && now < *restart->back_at && (!earliest || *restart->back_at < *earliest)) {
        earliest = restart->back_at;
    }
    if (!earliest) return -1;
    if (*earliest <= now) return 0;
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(*earliest - now);
    return static_cast<int>(std::min<int64_t>(wait.count(), 60000));
}

bool Server::gone_for_good() const {
    const auto& restart = module_.last_restart();
    return restart && !restart->back_at;
}

void Server::follow_module_restart(TimePoint now) {
    if (restarts_so_far() != restarts_dumped_) {
        restarts_dumped_ = restarts_so_far();
        write_memory_dump();
    }
    if (module_.generation() == generation_seen_) return;
    generation_seen_ = module_.generation();
    const ModuleRestart& restart = *module_.last_restart();
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", restart.serial_number);
    std::string when = !restart.back_at ? "never back"
                                        : "back in " + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                                          *restart.back_at - restart.at).count()) + " ms";
    log_.line(kModuleName, std::string("-- restarted (") + restart_reason_text(restart.reason) + "): " + when +
                               " as serial number " + serial);
    if (discovery_) discovery_->set_serial_number(restart.serial_number);
    if (listener_ && !module_.present(now)) {
        listener_.reset();
        log_.line(kModuleName, "-- listener closed while the module is away");
    }
    if (gone_for_good()) discovery_.reset();
}

void Server::reopen_listener(TimePoint now) {
    if (!options_.tcp || listener_ || listener_lost_ || !module_.present(now)) return;
    try {
        listener_.emplace(TcpEndpoint{options_.tcp->address, tcp_port_});
        log_.line(kModuleName, "-- back: listening again on port " + std::to_string(tcp_port_));
    } catch (const std::exception& failure) {
        // Like a module whose network did not come back: it stays off the network; the rest goes on.
        listener_lost_ = true;
        log_.line(kModuleName, std::string("-- cannot listen again: ") + failure.what());
    }
}

uint64_t Server::restarts_so_far() const {
    uint64_t restarts = module_.generation();
    for (const auto& [address, routed] : module_.routed_modules()) restarts += routed->generation();
    return restarts;
}

// Written whole under another name and then renamed, so a reader never sees half a dump.
void Server::write_memory_dump() {
    if (!options_.dump_flash) return;
    const std::string& path = *options_.dump_flash;
    std::string partial = path + kDumpTemporarySuffix;
    {
        std::ofstream file(partial, std::ios::binary | std::ios::trunc);
        file << memory_dump_text(module_);
        if (!file.flush()) {
            log_.line(kModuleName, "-- cannot write " + partial);
            return;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        log_.line(kModuleName, "-- cannot write " + path + ": " + std::strerror(errno));
    }
}

int Server::run() {
    int status = serve();
    write_memory_dump();
    return status;
}

int Server::serve() {
    for (;;) {
        TimePoint now = std::chrono::steady_clock::now();
        follow_module_restart(now);
        reopen_listener(now);
        for (Connection& connection : connections_) service(connection, now);
        connections_.remove_if([](const Connection& connection) { return connection.closed; });

        std::vector<pollfd> watched;
        watched.push_back({stop_signals_.get(), POLLIN, 0});
        if (options_.exit_on_stdin_close) watched.push_back({STDIN_FILENO, POLLIN, 0});
        size_t first_connection = watched.size();
        for (const Connection& connection : connections_) {
            int fd = connection.pseudo_terminal ? pty_->fd() : connection.fd.get();
            short events = holding_back(connection) ? 0 : POLLIN;
            if (!connection.pending.empty()) events |= POLLOUT;
            watched.push_back({fd, events, 0});
        }
        if (listener_) watched.push_back({listener_->fd(), POLLIN, 0});
        if (discovery_) watched.push_back({discovery_->fd(), POLLIN, 0});

        if (::poll(watched.data(), watched.size(), poll_timeout(now)) < 0) {
            if (errno == EINTR) continue;
            std::perror("virtual-module: poll");
            return 1;
        }
        if (watched[0].revents != 0) return 0;
        if (options_.exit_on_stdin_close && watched[1].revents != 0) {
            char discard[256];
            if (::read(STDIN_FILENO, discard, sizeof discard) <= 0) return 0;
        }
        size_t position = first_connection;
        for (Connection& connection : connections_) {
            short events = watched[position++].revents;
            if (events & (POLLIN | POLLHUP | POLLERR)) read_from(connection);
            if (!connection.closed && (events & POLLOUT)) write_pending(connection);
        }
        if (listener_ && watched[position++].revents != 0) accept_connections();
        if (discovery_ && watched[position].revents != 0) {
            if (module_.present(std::chrono::steady_clock::now())) {
                discovery_->answer_waiting_requests(log_);
            } else {
                discovery_->ignore_waiting_requests(log_);
            }
        }
    }
}

}  // namespace virtual_module
