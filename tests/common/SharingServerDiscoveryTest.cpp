// The search for link sharing servers inside a network of the test's own: stand-in servers on
// this host answer the multicast request on their port pair, and a beacon on the veth pair
// stands in for a server on the network.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <czmq.h>
#include <signal.h>

#include <chrono>
#include <memory>
#include <thread>

#include "ByteText.h"
#include "PrivateNetwork.h"
#include "UdpResponder.h"
#include "discover.h"
#include "zBeaconInterface.h"

using namespace test_support;
using namespace std::chrono_literals;

namespace {

constexpr const char* HOST_SIDE = "10.77.0.1";
constexpr const char* PEER_SIDE = "10.77.0.2";
constexpr const char* SHARING_GROUP = "224.0.0.7";
constexpr uint16_t REQUEST_PORT_BASE = 9850;
constexpr uint16_t REPLY_PORT_BASE = 9950;
constexpr int BEACON_PORT = 8585;

uint32_t address(const char* text) {
    in_addr value{};
    inet_pton(AF_INET, text, &value);
    return value.s_addr;
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

    std::vector<uint32_t> serial_numbers() const {
        std::vector<uint32_t> serials;
        for (const linkSpec& spec : specs) serials.push_back(spec.serialNumber);
        return serials;
    }
};

struct SpecDeleter {
    void operator()(linkSpec* spec) const { qLinkSpec_Destroy(&spec); }
};
using Spec = std::unique_ptr<linkSpec, SpecDeleter>;

// A sharing server on this host as the search meets it: it holds request port 9850 + offset
// and answers the request on the reply port of the pair.
std::unique_ptr<UdpResponder> local_server(uint16_t offset, const Bytes& answer) {
    auto reply_port = static_cast<uint16_t>(REPLY_PORT_BASE + offset);
    return std::make_unique<UdpResponder>(static_cast<uint16_t>(REQUEST_PORT_BASE + offset), SHARING_GROUP,
                                          std::vector<std::string>{"127.0.0.1"}, [=](const UdpDatagram&) {
                                              return std::vector<UdpDatagram>{{answer, SHARING_GROUP, reply_port}};
                                          });
}

// A sharing server on the network: a beacon on the interface with that address that publishes
// its record.
class ServerBeacon {
public:
    ServerBeacon(const char* interface, const Bytes& record) {
        if (!zBeaconInterface_setAndLock(interface)) return;
        beacon_ = zactor_new(zbeacon, nullptr);
        zsock_send(beacon_, "si", "CONFIGURE", BEACON_PORT);
        char* host = zstr_recv(beacon_);  // the interface is read here, still under the lock
        zBeaconInterface_unlock();
        zstr_free(&host);
        zsock_send(beacon_, "sbi", "PUBLISH", record.data(), record.size(), 50);
    }
    ~ServerBeacon() { zactor_destroy(&beacon_); }
    ServerBeacon(const ServerBeacon&) = delete;
    ServerBeacon& operator=(const ServerBeacon&) = delete;

private:
    zactor_t* beacon_ = nullptr;
};

class SharingServerDiscovery : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem = enter_private_network();
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out";
        add_veth_pair({"vm0", HOST_SIDE, "vm1", PEER_SIDE});
    }
};

}  // namespace

TEST_F(SharingServerDiscovery, LocalServersAreAskedOnTheirPortsAndEachModuleReportedOnce) {
    auto first = local_server(0, sharing_server_record(0x11111111, "127.0.0.1", 40001));
    auto same_module = local_server(2, sharing_server_record(0x11111111, "127.0.0.1", 40002));
    auto second = local_server(3, sharing_server_record(0x22222222, "127.0.0.1", 40003));
    auto elsewhere = local_server(4, sharing_server_record(0x33333333, PEER_SIDE, 40004));
    Bytes longer = sharing_server_record(0x44444444, "127.0.0.1", 40005);
    longer.push_back(0);
    auto too_long = local_server(5, longer);
    auto too_short = local_server(6, Bytes(100, 0x55));
    UdpResponder silent(REQUEST_PORT_BASE + 7, SHARING_GROUP, {"127.0.0.1"}, [](const UdpDatagram&) {
        return std::vector<UdpDatagram>{};
    });
    auto last = local_server(49, sharing_server_record(0x66666666, "127.0.0.1", 40049));

    Recorder recorder;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeQEther, Recorder::callback, &recorder, 0), 3);
    EXPECT_EQ(recorder.serial_numbers(), (std::vector<uint32_t>{0x11111111, 0x22222222, 0x66666666}))
        << "the same module twice, a server elsewhere, records of the wrong size and no answer are passed over";
    ASSERT_FALSE(recorder.specs.empty());
    EXPECT_EQ(recorder.specs[0].type, static_cast<uint32_t>(linkTypeQEther));
    EXPECT_EQ(recorder.specs[0].transport.ip.address, address("127.0.0.1"));
    EXPECT_EQ(recorder.specs[0].transport.ip.port, 40001u);
    for (const auto* server : {first.get(), same_module.get(), elsewhere.get(), &silent, last.get()}) {
        ASSERT_EQ(server->requests().size(), 1u);
        EXPECT_EQ(text_of(server->requests()[0].bytes), "BA DC CD AB");
    }

    // 127.0.0.1 is this host too; a callback that stops at once ends the search.
    Recorder stops;
    stops.go_on = false;
    EXPECT_EQ(qDiscovery_Enumerate_qEtherModules(Recorder::callback, &stops, address("127.0.0.1")), 1);
    EXPECT_EQ(stops.serial_numbers(), std::vector<uint32_t>{0x11111111});
    EXPECT_EQ(second->requests().size(), 1u) << "the server after the stop was not asked again";

    Spec found(qDiscovery_FindModule(linkTypeQEther, 0x22222222, 0));
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->transport.ip.port, 40003u);
}

TEST_F(SharingServerDiscovery, ServersOnANetworkAnswerTheBeaconOnThatInterface) {
    ServerBeacon server(PEER_SIDE, sharing_server_record(0x40F5849A, PEER_SIDE, 41000));
    ServerBeacon same_module(HOST_SIDE, sharing_server_record(0x40F5849A, HOST_SIDE, 41001));
    ServerBeacon not_a_record(PEER_SIDE, Bytes(127, 0x77));
    ASSERT_TRUE(zBeaconInterface_setAndLock("*"));
    zBeaconInterface_unlock();

    Recorder recorder;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeQEther, Recorder::callback, &recorder, address(HOST_SIDE)), 1);
    ASSERT_EQ(recorder.specs.size(), 1u) << "one module, however often and by whomever it was announced";
    EXPECT_EQ(recorder.specs[0].serialNumber, 0x40F5849Au);
    EXPECT_EQ(zBeaconInterface_get(), "*") << "the interface in use before the search is put back";

    for (int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction action {};
        ASSERT_EQ(sigaction(signal_number, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << "Ctrl-C still ends the program (signal " << signal_number << ")";
    }
}
