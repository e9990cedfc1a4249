// The virtual module for a benchmark: the tests' own runner (tests/support), with a failure to
// start reported as "not ready" instead of an exception, so a benchmark can print why and end.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "VirtualModuleProcess.h"

class VirtualModuleRunner {
public:
    explicit VirtualModuleRunner(const std::vector<std::string>& arguments) {
        try {
            process_ = std::make_unique<test_support::VirtualModuleProcess>(arguments);
        } catch (const std::runtime_error&) {
            process_.reset();
        }
    }

    bool ready() const { return process_ != nullptr; }
    uint16_t tcp_port() const { return process_ ? process_->tcp_port() : 0; }
    const std::string& pty_path() const { return process_ ? process_->pty_path() : none_; }

private:
    std::unique_ptr<test_support::VirtualModuleProcess> process_;
    std::string none_;
};
