// One UEI get through a TCP link to the virtual module and back (the caller puts the request
// and awaits the reply with a filter, as the object layer does), next to the same bytes
// exchanged over a bare socket with the same module in the same run: what the link engine (two
// threads, two FIFOs, the burst reader) adds to a loopback round trip.
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
#include "VirtualModuleRunner.h"
#include "qLink.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ROUND_TRIPS = 5000;
constexpr int WARM_UP = 200;
constexpr uint32_t REPLY_TIMEOUT_MS = 1000;
// A get of the system entity's serial number from module 2, and the reply's length on the wire.
constexpr uint8_t MODULE = 2;
constexpr uint8_t REQUEST[] = {MODULE, 3, 3, 0x49, 0x20};
constexpr size_t REPLY_WIRE_LENGTH = 9;

struct Figures {
    double median = 0;
    double p99 = 0;
};

Figures summarise(std::vector<double>& samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

double microseconds(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

bool is_serial_reply(const qPacket* packet, void*) {
    return packet->address == MODULE && packet->length == REPLY_WIRE_LENGTH - 2 && packet->data[0] == REQUEST[2] &&
           packet->data[1] == (REQUEST[3] & 0x3F);
}

bool through_link(uint16_t port, std::vector<double>& samples) {
    qLinkID id = qLink_CreateTCPIP(htonl(INADDR_LOOPBACK), port);
    if (id == 0) return false;
    qPacket* request = qPacket_CreateWithData(MODULE, sizeof REQUEST - 2, REQUEST + 2);
    bool complete = true;
    for (int i = 0; i < WARM_UP + ROUND_TRIPS && complete; ++i) {
        auto start = Clock::now();
        qLink_PutPacket(id, request);
        qPacket* reply = qLink_AwaitFirst(id, is_serial_reply, nullptr, REPLY_TIMEOUT_MS);
        auto end = Clock::now();
        complete = reply != nullptr;
        qPacket_Destroy(&reply);
        if (i >= WARM_UP) samples.push_back(microseconds(end - start));
    }
    qPacket_Destroy(&request);
    qLink_Destroy(&id);
    return complete;
}

bool through_socket(uint16_t port, std::vector<double>& samples) {
    BareSocket connection(port);
    bool complete = connection.connected();
    uint8_t reply[REPLY_WIRE_LENGTH];
    for (int i = 0; i < WARM_UP + ROUND_TRIPS && complete; ++i) {
        auto start = Clock::now();
        complete = connection.exchange(REQUEST, sizeof REQUEST, reply, sizeof reply);
        auto end = Clock::now();
        if (i >= WARM_UP) samples.push_back(microseconds(end - start));
    }
    return complete;
}

}  // namespace

int main() {
    // No heartbeats: only the request and its reply cross the connection.
    VirtualModuleRunner module({"--tcp", "127.0.0.1:0", "--heartbeat-ms", "0"});
    if (!module.ready()) {
        printf("virtual-module did not start; is it built (build/virtual-module)?\n");
        return 0;
    }
    std::vector<double> link_samples;
    std::vector<double> socket_samples;
    bool link_complete = through_link(module.tcp_port(), link_samples);
    bool socket_complete = through_socket(module.tcp_port(), socket_samples);
    Figures link = summarise(link_samples);
    Figures raw = summarise(socket_samples);

    printf("UEI get round trip to the virtual module over TCP loopback (%d round trips each)\n", ROUND_TRIPS);
    printf("  through the link:  median %8.1f us   p99 %8.1f us%s\n", link.median, link.p99,
           link_complete ? "" : "   (a reply did not come; run cut short)");
    printf("  bare socket:       median %8.1f us   p99 %8.1f us%s\n", raw.median, raw.p99,
           socket_complete ? "" : "   (a reply did not come; run cut short)");
    if (raw.median > 0 && raw.p99 > 0) {
        printf("  link / bare socket: median x%.2f   p99 x%.2f\n", link.median / raw.median, link.p99 / raw.p99);
    }
    return 0;
}
