// Runs build/virtual-module as a child for the length of a test. It waits for the program's
// "ready" line and keeps what it printed (TCP port, pseudo-terminal path); the child's standard
// error goes to a file that a failing test prints. The child ends with the object (SIGTERM, then
// SIGKILL after a bounded wait), and also when the test process dies, since it watches the end of
// its standard input.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "TestPaths.h"

namespace test_support {

class VirtualModuleProcess {
public:
    // Starts the program with these arguments (transports included) and waits up to 5 s for "ready";
    // throws std::runtime_error when it exits or does not get ready.
    explicit VirtualModuleProcess(const std::vector<std::string>& arguments);
    ~VirtualModuleProcess();
    VirtualModuleProcess(const VirtualModuleProcess&) = delete;
    VirtualModuleProcess& operator=(const VirtualModuleProcess&) = delete;

    int pid() const { return pid_; }
    uint16_t tcp_port() const { return tcp_port_; }
    const std::string& pty_path() const { return pty_path_; }
    // Every line it printed on standard output up to "ready".
    const std::vector<std::string>& output_lines() const { return lines_; }
    // What it has written on standard error so far.
    std::string error_output() const;

    // Sends SIGTERM and waits for the exit; the exit status (128 + signal when killed).
    int stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

private:
    int pid_ = -1;
    int stdin_write_ = -1;
    int exit_status_ = -1;
    uint16_t tcp_port_ = 0;
    std::string pty_path_;
    std::vector<std::string> lines_;
    TemporaryDirectory scratch_;
};

}  // namespace test_support
