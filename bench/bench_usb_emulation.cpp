// What one exchange with an emulated USB module costs: a small bulk OUT followed by the IN that
// collects its echo, through the real libusb against the testbed in this process, as the link
// tests do. Prints the round-trip time (median and 95th percentile) and the CPU time the whole
// process spends per round trip, which tells how many transfers a test suite can afford.
#include <libusb.h>
#include <sys/prctl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "EchoModel.h"
#include "PreloadEnvironment.h"
#include "UsbTestbed.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUND_TRIPS = 500;
constexpr int WARM_UP = 20;
constexpr size_t PACKET_BYTES = 30;  // a full link packet: address, length, 28 data bytes
constexpr unsigned TIMEOUT_MS = 1000;

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int, char** argv) {
    usb_emulation::ensure_running_under_preload(argv);
    if (!usb_emulation::preload_active()) return 0;
    prctl(PR_SET_TIMERSLACK, 1);

    usb_emulation::UsbTestbed bus;
    bus.plug(std::make_shared<usb_emulation::EchoModel>(), usb_emulation::module_identity(0x40F5849A, 19));
    libusb_context* context = nullptr;
    libusb_init(&context);
    libusb_device_handle* handle = nullptr;
    libusb_device** devices = nullptr;
    if (libusb_get_device_list(context, &devices) < 1 || libusb_open(devices[0], &handle) != 0 ||
        libusb_claim_interface(handle, 0) != 0) {
        std::printf("cannot open the emulated module\n");
        return 0;
    }
    libusb_free_device_list(devices, 1);

    std::vector<uint8_t> packet(PACKET_BYTES, 0x5A);
    std::vector<uint8_t> answer(1024);
    std::vector<double> microseconds;
    double cpu_start = 0;
    for (int i = 0; i < WARM_UP + ROUND_TRIPS; ++i) {
        if (i == WARM_UP) cpu_start = cpu_seconds();
        const auto started = Clock::now();
        int count = 0;
        if (libusb_bulk_transfer(handle, usb_emulation::kBulkOutEndpoint, packet.data(), static_cast<int>(packet.size()),
                                 &count, TIMEOUT_MS) != 0 ||
            libusb_bulk_transfer(handle, usb_emulation::kBulkInEndpoint, answer.data(), static_cast<int>(answer.size()),
                                 &count, TIMEOUT_MS) != 0) {
            std::printf("transfer failed after %d round trips\n", i);
            break;
        }
        if (i >= WARM_UP) microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - started).count());
    }
    const double cpu = cpu_seconds() - cpu_start;
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    libusb_exit(context);

    if (microseconds.empty()) return 0;
    std::sort(microseconds.begin(), microseconds.end());
    std::printf("bulk OUT %zu bytes + IN echo, %zu round trips\n", PACKET_BYTES, microseconds.size());
    std::printf("  round trip: median %.0f us, 95th percentile %.0f us\n", microseconds[microseconds.size() / 2],
                microseconds[microseconds.size() * 95 / 100]);
    std::printf("  process CPU per round trip: %.0f us\n", cpu * 1e6 / static_cast<double>(microseconds.size()));
    return 0;
}
