// Writing a 256 KB firmware block into the virtual module over TCP loopback with the upgrade
// entity, (a) in 26-byte data packets and (b) as UEI byte arrays with pooled packets, next to the
// lower bound for the same run: the request/reply round trips the transfer waits for, times the
// raw round-trip time measured over a bare socket against the same module.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "BareSocket.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterEntity.h"
#include "VirtualModuleRunner.h"

using Tolveric::Lumenvane::Module;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t IMAGE_BYTES = 256 * 1024;
constexpr uint16_t BLOCK_SIZE = 1024;
constexpr uint32_t LOAD_ADDRESS = 0x00020000;
constexpr uint8_t MODULE_ADDRESS = 2;
// Waits per piece: (a) one per 26-byte data packet, then the sum and the write; (b) the byte
// array's acknowledgement, then the sum and the write.
constexpr uint32_t DATA_PACKET_BYTES = 26;
constexpr uint32_t WAITS_AFTER_DATA = 2;
constexpr uint32_t BYTE_ARRAY_WAITS = 1;

// The raw round trip: a UEI get of the serial number and its 9-byte reply over a bare socket.
constexpr int RAW_ROUND_TRIPS = 2000;
constexpr int WARM_UP = 100;
constexpr uint8_t SERIAL_REQUEST[] = {MODULE_ADDRESS, 3, 3, 0x49, 0x20};
constexpr size_t SERIAL_REPLY_LENGTH = 9;

class QuietDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool, const char*) override {}
    void info_message(const char*) override {}
    void error_message(const char*) override {}
};

linkSpec loopback(uint16_t port) {
    linkSpec spec{};
    spec.type = linkTypeTCPIP;
    spec.transport.ip.address = htonl(INADDR_LOOPBACK);
    spec.transport.ip.port = port;
    return spec;
}

// Median round trip in seconds, or 0 when the module stopped answering.
double raw_round_trip(uint16_t port) {
    BareSocket connection(port);
    std::vector<double> samples;
    uint8_t reply[SERIAL_REPLY_LENGTH];
    for (int i = 0; i < WARM_UP + RAW_ROUND_TRIPS; ++i) {
        auto start = Clock::now();
        if (!connection.exchange(SERIAL_REQUEST, sizeof SERIAL_REQUEST, reply, sizeof reply)) break;
        if (i >= WARM_UP) samples.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    if (samples.size() < RAW_ROUND_TRIPS) return 0;
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

struct Run {
    bool complete = false;
    double seconds = 0;
    uint32_t waits = 0;
};

Run write_image(uint16_t port, const std::vector<uint8_t>& block, bool byte_arrays) {
    Run run;
    Module module(MODULE_ADDRESS, false, 0);
    if (module.connectFromSpec(loopback(port)) != qErrNone) return run;
    UpdaterEntity upgrade;
    upgrade.init(&module, 0, true, false);
    if (byte_arrays && (upgrade.CheckUEIDataSupport() != qErrNone || upgrade.CheckPooledPacketsSupport() != qErrNone)) {
        return run;
    }
    QuietDisplay display;
    uint16_t block_size = 0;
    if (upgrade.LoaderInit() != qErrNone ||
        upgrade.TransferPrepare(block.data(), block.size(), 0, block_size) != qErrNone || block_size == 0) {
        return run;
    }
    const uint32_t pieces = (IMAGE_BYTES + block_size - 1) / block_size;
    const uint32_t packets_per_piece = (block_size + DATA_PACKET_BYTES - 1) / DATA_PACKET_BYTES;
    run.waits = pieces * ((byte_arrays ? BYTE_ARRAY_WAITS : packets_per_piece) + WAITS_AFTER_DATA);
    auto start = Clock::now();
    run.complete = upgrade.FirmwareTransfer(block.data(), block.size(), block_size, display) == qErrNone;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    module.disconnect();
    return run;
}

void report(const char* name, const Run& run, double round_trip) {
    if (!run.complete) {
        printf("  %-34s did not complete\n", name);
        return;
    }
    const double bound = run.waits * round_trip;
    printf("  %-34s %8.3f s  %10.0f bytes/s  bound %7.3f s (%u round trips)  actual/bound x%.2f\n", name,
           run.seconds, IMAGE_BYTES / run.seconds, bound, run.waits, bound > 0 ? run.seconds / bound : 0.0);
}

}  // namespace

int main() {
    // No heartbeats: only the transfer crosses the connection.
    VirtualModuleRunner module({"--tcp", "127.0.0.1:0", "--heartbeat-ms", "0", "--block-size",
                                std::to_string(BLOCK_SIZE), "--protocol-features", "0x80000001"});
    if (!module.ready()) {
        printf("virtual-module did not start; is it built (build/virtual-module)?\n");
        return 0;
    }
    std::vector<uint8_t> block = {static_cast<uint8_t>(LOAD_ADDRESS >> 24), static_cast<uint8_t>(LOAD_ADDRESS >> 16),
                                  static_cast<uint8_t>(LOAD_ADDRESS >> 8), static_cast<uint8_t>(LOAD_ADDRESS)};
    for (uint32_t i = 0; i < IMAGE_BYTES; ++i) block.push_back(static_cast<uint8_t>(i * 7 + i / 251));

    const double round_trip = raw_round_trip(module.tcp_port());
    const Run packets = write_image(module.tcp_port(), block, false);
    const Run byte_arrays = write_image(module.tcp_port(), block, true);

    printf("Firmware write of %u KB to the virtual module over TCP loopback, block size %u\n", IMAGE_BYTES / 1024,
           BLOCK_SIZE);
    printf("  raw round trip (bare socket, median of %d): %.1f us\n", RAW_ROUND_TRIPS, round_trip * 1e6);
    report("(a) data packets", packets, round_trip);
    report("(b) UEI byte arrays, pooled packets", byte_arrays, round_trip);
    return 0;
}
