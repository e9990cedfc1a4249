// usb-testbed: runs a program against emulated modules on a USB bus of their own, the way
// umockdev-run does. The modules live in this process; the program runs as a child under
// umockdev's preload library, so its unmodified libusb finds them as real hardware.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <variant>
#include <vector>

#include "LauncherOptions.h"
#include "MemoryDumpFile.h"
#include "ModuleDevice.h"
#include "PreloadEnvironment.h"
#include "TraceLog.h"
#include "UsbTestbed.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitSetupFailed = 125;
constexpr int kExitCannotRun = 126;
constexpr int kExitNotFound = 127;
constexpr int kSignalExitBase = 128;

volatile sig_atomic_t child_pid = 0;

// Whatever stops the launcher stops the program first, so the bus outlives its user.
void forward_signal(int signal_number) {
    if (child_pid > 0) kill(child_pid, signal_number);
}

int run_child(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "usb-testbed: cannot start %s: %s\n", argv[0], std::strerror(errno));
        return kExitCannotRun;
    }
    if (child == 0) {
        execvp(argv[0], argv.data());
        const int error = errno;
        std::fprintf(stderr, "usb-testbed: cannot run %s: %s\n", argv[0], std::strerror(error));
        _exit(error == ENOENT ? kExitNotFound : kExitCannotRun);
    }
    child_pid = child;
    struct sigaction action {};
    action.sa_handler = forward_signal;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal_number, &action, nullptr);

    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) return kExitCannotRun;
    }
    child_pid = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : kSignalExitBase + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    const usb_testbed::ParseResult parsed = usb_testbed::parse_launch_options(argc, argv);
    if (std::holds_alternative<usb_testbed::ShowUsage>(parsed)) {
        std::fputs(usb_testbed::launcher_usage_text(), stdout);
        return 0;
    }
    if (const auto* error = std::get_if<usb_testbed::UsageError>(&parsed)) {
        std::fprintf(stderr, "usb-testbed: %s\n%s", error->message.c_str(), usb_testbed::launcher_usage_text());
        return kExitUsage;
    }
    const auto& options = std::get<usb_testbed::LaunchOptions>(parsed);

    virtual_module::TraceLog log(options.trace);
    std::vector<usb_testbed::ModuleDevice> devices;
    try {
        for (const usb_testbed::ModuleSpec& spec : options.modules) devices.push_back(usb_testbed::make_module_device(spec, log));
    } catch (const usb_testbed::InvalidModule& error) {
        std::fprintf(stderr, "usb-testbed: %s\n%s", error.what(), usb_testbed::launcher_usage_text());
        return kExitUsage;
    }

    // The preload sleeps after every emulated ioctl; the child inherits the finer timer slack.
    prctl(PR_SET_TIMERSLACK, 1);
    int status = 0;
    try {
        usb_emulation::UsbTestbed bus;
        for (const usb_testbed::ModuleDevice& device : devices) {
            const usb_emulation::DeviceId id = bus.plug(device.model, device.identity);
            bus.set_faults(id, device.faults);
        }
        usb_emulation::add_preload_to_environment();
        status = run_child(options.command);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "usb-testbed: %s\n", error.what());
        return kExitSetupFailed;
    }
    // The bus is gone, so nothing changes the modules any more: their memory as the program left it.
    for (const usb_testbed::ModuleDevice& device : devices) {
        if (device.dump_flash) usb_testbed::write_memory_dump(*device.dump_flash, device.module->module());
    }
    return status;
}
