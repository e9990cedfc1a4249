// Links against the virtual module, over TCP and over its pseudo-terminal: the link starts,
// carries UEI requests and replies, answers the module's heartbeats, and falls back in step
// after garbage. A relay in between passes every byte on unchanged and lets the test slip
// garbage into what the host receives.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "PeerLink.h"
#include "VirtualModuleProcess.h"
#include "qLink.h"
#include "qModuleContract.h"
#include "qUEI.h"

using namespace std::chrono_literals;
using namespace test_support;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint8_t MODULE_ADDRESS = 2;  // the virtual module's default
constexpr uint32_t SERIAL_NUMBER = 0x40F5849A;
constexpr uint8_t MODEL = 42;
constexpr uint8_t OPTION_MODEL = 8;
constexpr uint8_t OPTION_SERIAL_NUMBER = 9;

// Copies bytes both ways between the host's end and the module's end until destroyed.
class ByteRelay {
public:
    ByteRelay(int host_side, int module_side) : host_(host_side), module_(module_side) {
        if (pipe2(wake_, O_CLOEXEC) == 0) thread_ = std::thread([this] { run(); });
    }
    ~ByteRelay() {
        if (thread_.joinable()) {
            ssize_t ignored = write(wake_[1], "x", 1);
            (void)ignored;
            thread_.join();
        }
        for (int descriptor : {host_, module_, wake_[0], wake_[1]}) {
            if (descriptor >= 0) close(descriptor);
        }
    }
    ByteRelay(const ByteRelay&) = delete;
    ByteRelay& operator=(const ByteRelay&) = delete;

    // Bytes the host receives as if the module had sent them, between two forwarded chunks.
    void inject_to_host(const std::string& bytes) {
        std::lock_guard lock(to_host_);
        write_all(host_, bytes.data(), bytes.size());
    }

private:
    static void write_all(int descriptor, const char* data, size_t length) {
        while (length > 0) {
            ssize_t written = write(descriptor, data, length);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;
            data += written;
            length -= static_cast<size_t>(written);
        }
    }

    void run() {
        pollfd watched[3] = {{host_, POLLIN, 0}, {module_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        for (;;) {
            if (poll(watched, 3, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (watched[2].revents != 0) return;
            for (int side = 0; side < 2; ++side) {
                if (watched[side].revents == 0) continue;
                char buffer[4096];
                ssize_t count = read(watched[side].fd, buffer, sizeof buffer);
                if (count <= 0) {
                    watched[side].fd = -1;  // that end is gone: stop watching it
                    continue;
                }
                if (side == 0) {
                    write_all(module_, buffer, static_cast<size_t>(count));
                } else {
                    std::lock_guard lock(to_host_);
                    write_all(host_, buffer, static_cast<size_t>(count));
                }
            }
        }
    }

    int host_;
    int module_;
    int wake_[2] = {-1, -1};
    std::mutex to_host_;
    std::thread thread_;
};

int open_raw_terminal(const std::string& path) {
    int descriptor = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios settings{};
    if (descriptor >= 0 && tcgetattr(descriptor, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(descriptor, TCSANOW, &settings);
    }
    return descriptor;
}

int connect_loopback(uint16_t port) {
    int connection = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(connection);
        return -1;
    }
    return connection;
}

bool is_reply_to(const qPacket* packet, void* reference) {
    uint8_t option = *static_cast<uint8_t*>(reference);
    return packet->address == MODULE_ADDRESS && packet->length > qUEI_HEADER_LENGTH &&
           packet->data[qUEI_COMMAND_BYTE] == cmdSYSTEM && packet->data[qUEI_OPTION_BYTE] == option &&
           (packet->data[qUEI_INDEX_BYTE] & qUEI_INDEX_ERROR) == 0;
}

// A get of a system entity option, sent and awaited as the object layer does.
std::optional<uint32_t> get_system_option(qLinkID id, uint8_t option) {
    const uint8_t request[] = {cmdSYSTEM, static_cast<uint8_t>(qUEI_OPERATION_GET | option),
                               qUEI_INDEX_REQUEST | qSYSTEM_ENTITY_INDEX};
    qPacket* packet = qPacket_CreateWithData(MODULE_ADDRESS, sizeof request, request);
    qErr put = qLink_PutPacket(id, packet);
    qPacket_Destroy(&packet);
    if (put != qErrNone) return std::nullopt;
    qPacket* reply = qLink_AwaitFirst(id, is_reply_to, &option, qMODULE_REPLY_TIMEOUT_MS);
    if (reply == nullptr) return std::nullopt;
    std::optional<uint32_t> value;
    if (reply->length == qUEI_LENGTH_BYTE) value = reply->data[qUEI_VALUE_BYTE];
    if (reply->length == qUEI_LENGTH_INT) value = qUEI_RetrieveInt(&reply->data[qUEI_VALUE_BYTE]);
    qPacket_Destroy(&reply);
    return value;
}

bool output_shows(const VirtualModuleProcess& module, const std::string& text,
                  std::chrono::milliseconds timeout = 2000ms) {
    auto deadline = Clock::now() + timeout;
    while (module.error_output().find(text) == std::string::npos) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

enum class Transport { Tcp, PseudoTerminal };

// A link to the module through a relay, over the transport under test.
struct RelayedLink {
    qLinkID id = 0;
    std::unique_ptr<ByteRelay> relay;
    int kept_terminal = -1;  // the link's terminal stays open here, so the relay never sees it hang up
    LoopbackListener listener;

    RelayedLink(Transport transport, const VirtualModuleProcess& module) {
        if (transport == Transport::Tcp) {
            id = qLink_CreateTCPIP(loopback_address(), listener.port());
            int host_side = listener.accept_descriptor();
            relay = std::make_unique<ByteRelay>(host_side, connect_loopback(module.tcp_port()));
        } else {
            int controller = -1;
            char name[256] = {};
            if (openpty(&controller, &kept_terminal, name, nullptr, nullptr) != 0) return;
            relay = std::make_unique<ByteRelay>(controller, open_raw_terminal(module.pty_path()));
            id = qLink_CreateSerial(SERIAL_NUMBER, name, 115200);
        }
    }
    ~RelayedLink() {
        if (id != 0) qLink_Destroy(&id);
        relay.reset();
        if (kept_terminal >= 0) close(kept_terminal);
    }
};

class LinkWithVirtualModule : public testing::TestWithParam<Transport> {};

}  // namespace

TEST_P(LinkWithVirtualModule, CarriesRequestsAnswersHeartbeatsAndResynchronisesAfterGarbage) {
    VirtualModuleProcess module({"--tcp", "127.0.0.1:0", "--pty", "--serial", "40F5849A", "--model", "42",
                                 "--heartbeat-ms", "100", "--trace"});
    RelayedLink link(GetParam(), module);
    ASSERT_NE(link.id, 0u);
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusRunning);

    EXPECT_EQ(get_system_option(link.id, OPTION_SERIAL_NUMBER), SERIAL_NUMBER);
    EXPECT_EQ(get_system_option(link.id, OPTION_MODEL), MODEL);

    // Heartbeats every 100 ms: each answered in time, so the module never reports one missed
    // (value 1), and none of them reaches the callers.
    EXPECT_TRUE(output_shows(module, "in  02 02 00 02"));
    std::this_thread::sleep_for(350ms);
    EXPECT_EQ(module.error_output().find("out 02 02 00 01"), std::string::npos);
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusRunning);
    EXPECT_EQ(qLink_GetPacket(link.id), nullptr);

    // Garbage: the link asks the module to synchronise, gets back in step and goes on.
    link.relay->inject_to_host(bytes("FF 13 37 FF"));
    EXPECT_TRUE(output_shows(module, "in  AD 00"));
    EXPECT_TRUE(status_becomes(link.id, qLinkStatusRunning, 2000ms));
    EXPECT_EQ(get_system_option(link.id, OPTION_SERIAL_NUMBER), SERIAL_NUMBER);
    EXPECT_EQ(qLink_GetStatus(link.id), qLinkStatusRunning);
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkWithVirtualModule,
                         testing::Values(Transport::Tcp, Transport::PseudoTerminal),
                         [](const testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::Tcp ? std::string("Tcp") : std::string("PseudoTerminal");
                         });
