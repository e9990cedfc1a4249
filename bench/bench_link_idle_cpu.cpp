// CPU time the process spends while one TCP link and one serial link (over the virtual
// module's pseudo-terminal) stay connected and idle for 10 s, the module sending a heartbeat
// every second on each and the links answering them. An idle link should cost next to nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "VirtualModuleRunner.h"
#include "qLink.h"
#include "qPacketDebug.h"

namespace {

constexpr auto IDLE_TIME = std::chrono::seconds(10);
constexpr uint32_t MODULE_SERIAL = 0x4E560001;
constexpr uint32_t SERIAL_BAUD = 115200;

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Heartbeat answers the link wrote, counted from its packet debug log.
int heartbeat_answers(qLinkID id) {
    int answers = 0;
    uint8_t kind = 0;
    uint8_t record[qPACKETLOG_MAX_RECORD];
    size_t length = sizeof record;
    while (qLink_PacketDebug_Read(id, &kind, &length, record) == qErrNone) {
        if (kind == qPacketLogWritten && length == 4 && record[2] == 0) ++answers;
        length = sizeof record;
    }
    return answers;
}

}  // namespace

int main() {
    VirtualModuleRunner module({"--tcp", "127.0.0.1:0", "--pty", "--heartbeat-ms", "1000"});
    if (!module.ready()) {
        printf("virtual-module did not start; is it built (build/virtual-module)?\n");
        return 0;
    }
    qLinkID tcp = qLink_CreateTCPIP(htonl(INADDR_LOOPBACK), module.tcp_port());
    qLinkID serial = qLink_CreateSerial(MODULE_SERIAL, module.pty_path().c_str(), SERIAL_BAUD);
    if (tcp == 0 || serial == 0) {
        printf("links could not be made (TCP %u, serial %u)\n", tcp, serial);
        qLink_Destroy(&tcp);
        qLink_Destroy(&serial);
        return 0;
    }
    qLink_PacketDebug_Enable(tcp);
    qLink_PacketDebug_Enable(serial);

    double before = cpu_seconds();
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(IDLE_TIME);
    double used = cpu_seconds() - before;
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    printf("Idle links for %.1f s: one TCP link and one serial link to the virtual module\n", elapsed);
    printf("  CPU time used by the process: %.4f s (%.3f %% of one core)\n", used, 100.0 * used / elapsed);
    printf("  heartbeats answered: TCP %d, serial %d; status TCP %d, serial %d (2 = running)\n",
           heartbeat_answers(tcp), heartbeat_answers(serial), qLink_GetStatus(tcp), qLink_GetStatus(serial));
    qLink_Destroy(&tcp);
    qLink_Destroy(&serial);
    return 0;
}
