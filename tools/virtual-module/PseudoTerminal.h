// The serial side of a module: a pseudo-terminal in raw mode whose slave end the host opens as
// its serial port. The module keeps a slave descriptor of its own open, so the master never sees
// a hang-up while no host has the port open (a serial line has no connection to lose).
#pragma once

#include <string>

#include "FileDescriptor.h"

namespace virtual_module {

class PseudoTerminal {
public:
    // Creates the pair; throws std::runtime_error when it cannot.
    PseudoTerminal();

    int fd() const { return master_.get(); }
    const std::string& path() const { return path_; }

private:
    FileDescriptor master_;
    FileDescriptor held_slave_;
    std::string path_;
};

}  // namespace virtual_module
