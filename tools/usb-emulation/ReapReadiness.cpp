#include "ReapReadiness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace usb_emulation {

namespace {

// One page: a pipe is writable as soon as one of its page-sized slots is free.
constexpr size_t kPipePage = 4096;

std::runtime_error system_error(const std::string& what, const std::string& path) {
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

}  // namespace

ReapReadiness::ReapReadiness(const std::string& path) {
    if (unlink(path.c_str()) != 0 && errno != ENOENT) throw system_error("cannot remove", path);
    if (mkfifo(path.c_str(), 0666) != 0) throw system_error("cannot make a FIFO at", path);
    // Read-write, so opening does not wait for a peer and the FIFO never reports a hang-up.
    fd_ = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) throw system_error("cannot open", path);
    // The smallest pipe keeps filling and draining to a single page.
    fcntl(fd_, F_SETPIPE_SZ, static_cast<int>(kPipePage));
    fill();
}

ReapReadiness::~ReapReadiness() {
    if (fd_ >= 0) close(fd_);
}

void ReapReadiness::set_ready(bool ready) {
    if (ready == ready_) return;
    if (ready) drain();
    else fill();
    ready_ = ready;
}

void ReapReadiness::fill() {
    static const char page[kPipePage] = {};
    while (write(fd_, page, sizeof page) > 0) {
    }
}

void ReapReadiness::drain() {
    char page[kPipePage];
    (void)!read(fd_, page, sizeof page);
}

}  // namespace usb_emulation
