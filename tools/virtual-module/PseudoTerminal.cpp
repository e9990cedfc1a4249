#include "PseudoTerminal.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>

#include "SystemError.h"

namespace virtual_module {

PseudoTerminal::PseudoTerminal() {
    master_ = FileDescriptor(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!master_.valid()) throw system_error("cannot open a pseudo-terminal");
    if (grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) throw system_error("cannot unlock the pseudo-terminal");
    char name[128];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) throw system_error("cannot name the pseudo-terminal");
    path_ = name;
    held_slave_ = FileDescriptor(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!held_slave_.valid()) throw system_error("cannot open " + path_);
    // Raw mode: every byte passes unchanged, nothing is echoed or turned into a signal.
    termios settings{};
    if (tcgetattr(held_slave_.get(), &settings) != 0) throw system_error("cannot read the settings of " + path_);
    cfmakeraw(&settings);
    if (tcsetattr(held_slave_.get(), TCSANOW, &settings) != 0) throw system_error("cannot set raw mode on " + path_);
}

}  // namespace virtual_module
