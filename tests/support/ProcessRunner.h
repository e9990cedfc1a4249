// Runs a program as a child with its output captured, bounded by a time-out.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace test_support {

struct ProcessResult {
    int exit_status = -1;  // the exit code, or 128 + signal when killed
    bool timed_out = false;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::chrono::milliseconds timeout{20000};
    // Standard output goes to a pseudo-terminal in raw mode, so the program sees a terminal
    // and its bytes arrive unchanged.
    bool stdout_on_terminal = false;
    std::vector<std::string> environment;  // extra NAME=value entries
    std::string working_directory;
};

ProcessResult run_process(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// Runs body in a forked child (exit status 0 when it returns) with the same capture as run_process.
ProcessResult run_function(const std::function<void()>& body, const ProcessOptions& options = {});

}  // namespace test_support
