// The Ethernet search inside a network of the test's own (a veth pair and the loopback): virtual
// modules and a small responder answer the request that goes out through every interface.
// Each search waits 2 s after the last reply, so the cases are few and each checks much.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>

#include "ByteText.h"
#include "PrivateNetwork.h"
#include "UdpResponder.h"
#include "VirtualModuleProcess.h"
#include "discover.h"

using namespace test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* HOST_SIDE = "10.77.0.1";
constexpr const char* PEER_SIDE = "10.77.0.2";
constexpr const char* REQUEST_GROUP = "232.2.2.2";
constexpr uint16_t REQUEST_PORT = 9888;
constexpr uint16_t REPLY_PORT = 9889;

#define ENTER_PRIVATE_NETWORK(with_veth)                                                                      \
    do {                                                                                                      \
        std::string problem = enter_private_network();                                                        \
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out"; \
        if (with_veth) add_veth_pair({"vm0", HOST_SIDE, "vm1", PEER_SIDE});                                   \
    } while (false)

std::string dotted(uint32_t address) {
    char text[INET_ADDRSTRLEN] = {};
    in_addr value{address};
    inet_ntop(AF_INET, &value, text, sizeof text);
    return text;
}

struct Recorder {
    std::vector<linkSpec> specs;
    bool go_on = true;

    static bool callback(const linkSpec* spec, bool* found, void* reference) {
        auto* self = static_cast<Recorder*>(reference);
        self->specs.push_back(*spec);
        *found = true;
        return self->go_on;
    }
};

struct SpecDeleter {
    void operator()(linkSpec* spec) const { qLinkSpec_Destroy(&spec); }
};
using Spec = std::unique_ptr<linkSpec, SpecDeleter>;

bool can_connect(uint32_t address, uint32_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = address;
    target.sin_port = htons(static_cast<uint16_t>(port));
    bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
    ::close(fd);
    return connected;
}

struct ModuleIdentity {
    const char* serial;
    uint32_t serial_number;
    uint32_t address;
    uint32_t model;
};

}  // namespace

TEST(EthernetDiscovery, FindsEveryVirtualModuleWithWhatItReported) {
    ENTER_PRIVATE_NETWORK(true);
    const ModuleIdentity identities[] = {{"40F5849A", 0x40F5849A, 6, 19}, {"4E560002", 0x4E560002, 8, 5}};
    std::vector<std::unique_ptr<VirtualModuleProcess>> modules;
    for (const ModuleIdentity& identity : identities) {
        modules.push_back(std::make_unique<VirtualModuleProcess>(std::vector<std::string>{
            "--tcp", "0.0.0.0:0", "--discovery", "vm0", "--serial", identity.serial, "--address",
            std::to_string(identity.address), "--model", std::to_string(identity.model)}));
    }

    Recorder recorder;
    uint8_t count = qDiscovery_EnumerateModules(linkTypeTCPIP, Recorder::callback, &recorder, 0);
    EXPECT_EQ(count, recorder.specs.size()) << "every reply counts: one heard on two interfaces counts twice";
    std::map<uint32_t, linkSpec> found;
    for (const linkSpec& spec : recorder.specs) found[spec.serialNumber] = spec;
    ASSERT_EQ(found.size(), 2u);
    for (size_t i = 0; i < modules.size(); ++i) {
        const ModuleIdentity& identity = identities[i];
        SCOPED_TRACE(identity.serial);
        ASSERT_TRUE(found.count(identity.serial_number));
        const linkSpec& spec = found[identity.serial_number];
        EXPECT_EQ(spec.type, static_cast<uint32_t>(linkTypeTCPIP));
        EXPECT_EQ(spec.moduleAddress, identity.address);
        EXPECT_EQ(spec.routerAddress, identity.address);
        EXPECT_EQ(spec.routerSerialNumber, identity.serial_number);
        EXPECT_EQ(spec.model, identity.model);
        EXPECT_EQ(spec.transport.ip.port, modules[i]->tcp_port());
        EXPECT_TRUE(dotted(spec.transport.ip.address) == HOST_SIDE || dotted(spec.transport.ip.address) == PEER_SIDE)
            << dotted(spec.transport.ip.address);
        EXPECT_TRUE(can_connect(spec.transport.ip.address, spec.transport.ip.port)) << "the link specifier leads to the module";
    }

    Spec second(qDiscovery_FindModule(linkTypeTCPIP, 0x4E560002, 0));
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->type, static_cast<uint32_t>(linkTypeTCPIP));
    EXPECT_EQ(second->moduleAddress, 8u) << "the module's fields, not the request's";
    EXPECT_EQ(second->model, 5u);
    EXPECT_EQ(second->transport.ip.port, modules[1]->tcp_port());
    EXPECT_NE(second->transport.ip.address, 0u);

    EXPECT_EQ(Spec(qDiscovery_FindModule(linkTypeTCPIP, 0x12345678, 0)), nullptr);
}

TEST(EthernetDiscovery, ACallbackThatStopsAtOnceEndsTheSearch) {
    ENTER_PRIVATE_NETWORK(true);
    VirtualModuleProcess module({"--tcp", "127.0.0.1:0", "--discovery", "vm0", "--serial", "40F5849A"});

    Recorder recorder;
    recorder.go_on = false;
    auto started = Clock::now();
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeTCPIP, Recorder::callback, &recorder, 0), 1);
    EXPECT_LT(Clock::now() - started, 1500ms) << "no wait for further replies";
    ASSERT_EQ(recorder.specs.size(), 1u);
    EXPECT_EQ(recorder.specs[0].serialNumber, 0x40F5849Au);
}

TEST(EthernetDiscovery, RequestsGoThroughEveryInterfaceButLoopbackAndShortRepliesLackTheModel) {
    ENTER_PRIVATE_NETWORK(true);
    // A module answering with its first 12 bytes only, and a stray 3-byte datagram that carries
    // no serial number at all.
    // It listens on the loopback too, where no request may arrive.
    auto answer = [](const UdpDatagram& request) {
        std::vector<UdpDatagram> answers;
        if (request.address == HOST_SIDE) {
            answers.push_back({bytes_of("02 0A 39 30 4D 3C 2B 1A 00 00 00 00"), request.address, REPLY_PORT});
            answers.push_back({bytes_of("02 0A 39"), request.address, REPLY_PORT});
        }
        return answers;
    };
    UdpResponder responder(REQUEST_PORT, REQUEST_GROUP, {HOST_SIDE, PEER_SIDE, "127.0.0.1"}, answer);

    Recorder recorder;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeTCPIP, Recorder::callback, &recorder, 0), 1);
    ASSERT_EQ(recorder.specs.size(), 1u);
    const linkSpec& spec = recorder.specs[0];
    EXPECT_EQ(spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(spec.moduleAddress, 10u);
    EXPECT_EQ(spec.transport.ip.port, 12345u);
    EXPECT_EQ(spec.model, 255u) << "a reply that ends before the model code";

    std::set<std::string> senders;
    for (const UdpDatagram& request : responder.requests()) {
        senders.insert(request.address);
        EXPECT_EQ(request.bytes.size(), 16u);
        EXPECT_EQ(request.bytes.at(0), 1) << "a request starts with 1";
    }
    EXPECT_EQ(senders, (std::set<std::string>{HOST_SIDE, PEER_SIDE})) << "one request per interface, none on loopback";
}

TEST(EthernetDiscovery, NothingIsSentOrAwaitedWithoutAnInterfaceButLoopback) {
    ENTER_PRIVATE_NETWORK(false);
    UdpResponder responder(REQUEST_PORT, REQUEST_GROUP, {"127.0.0.1"}, [](const UdpDatagram&) {
        return std::vector<UdpDatagram>{};
    });
    Recorder recorder;
    auto started = Clock::now();
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeTCPIP, Recorder::callback, &recorder, 0), 0);
    EXPECT_LT(Clock::now() - started, 1500ms) << "no reply wait when no request went out";
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(responder.requests().empty());
}

TEST(EthernetDiscovery, RepliesThatNeverStopCannotHoldTheSearch) {
    ENTER_PRIVATE_NETWORK(true);
    // A peer that sends a reply every 300 ms for as long as anyone listens.
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(REPLY_PORT);
        inet_pton(AF_INET, HOST_SIDE, &target.sin_addr);
        Bytes reply = bytes_of("02 06 39 30 9A 84 F5 40 00 00 00 00 13 00 00 00");
        for (int sent = 0; flooding && sent < 200; ++sent) {
            ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
            std::this_thread::sleep_for(300ms);
        }
        ::close(fd);
    });

    Recorder recorder;
    auto started = Clock::now();
    qDiscovery_EnumerateModules(linkTypeTCPIP, Recorder::callback, &recorder, 0);
    auto took = Clock::now() - started;
    flooding = false;
    flood.join();
    EXPECT_LT(took, 15s);
    EXPECT_GT(recorder.specs.size(), 10u) << "replies were taken while they came";
}
