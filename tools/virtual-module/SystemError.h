// Failures of system calls while the transports are set up, with the call's error text.
#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace virtual_module {

inline std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace virtual_module
