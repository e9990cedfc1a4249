// Multicast endpoints on the loopback interface of a network of the test's own: receivers hold
// their port, senders reach them, and each kind refuses the other's operation.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "PrivateNetwork.h"
#include "UdpResponder.h"
#include "qMulticast.h"

using namespace test_support;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint16_t PORT = 9850;

uint32_t address(const char* text) {
    in_addr value{};
    inet_pton(AF_INET, text, &value);
    return value.s_addr;
}

const uint32_t GROUP = address("224.0.0.7");
const uint32_t LOOPBACK = address("127.0.0.1");

struct EndpointDeleter {
    void operator()(qMulticast* endpoint) const { qMulticast_Destroy(&endpoint); }
};
using Endpoint = std::unique_ptr<qMulticast, EndpointDeleter>;

class Multicast : public ::testing::Test {
protected:
    void SetUp() override {
        std::string problem = enter_private_network();
        if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << "): nothing may go out";
    }
};

}  // namespace

TEST_F(Multicast, ASecondReceiverOnAPortInUseIsNotCreated) {
    Endpoint first(qMulticast_Create(LOOPBACK, GROUP, PORT, 0));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Endpoint(qMulticast_Create(LOOPBACK, GROUP, PORT, 0)), nullptr);
    EXPECT_EQ(Endpoint(qMulticast_Create(0, GROUP, PORT, 0)), nullptr);
    EXPECT_NE(Endpoint(qMulticast_Create(LOOPBACK, GROUP, PORT + 1, 0)), nullptr) << "another port is free";
    first.reset();
    EXPECT_NE(Endpoint(qMulticast_Create(LOOPBACK, GROUP, PORT, 0)), nullptr) << "free again once the first is gone";
}

TEST_F(Multicast, ASenderWithInterfaceZeroReachesReceiversThroughTheLoopback) {
    Endpoint receiver(qMulticast_Create(0, GROUP, PORT, 0));
    // A plain socket on the group's port as well: it sees where the datagram came from.
    UdpResponder observer(PORT + 100, "224.0.0.7", {"127.0.0.1"}, [](const UdpDatagram&) {
        return std::vector<UdpDatagram>{};
    });
    Endpoint sender(qMulticast_Create(0, GROUP, PORT, 1));
    Endpoint observed_sender(qMulticast_Create(0, GROUP, PORT + 100, 1));
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    ASSERT_NE(observed_sender, nullptr);

    const std::string message = "\xBA\xDC\xCD\xAB";
    EXPECT_EQ(qMulticast_Send(sender.get(), message.data(), message.size()), 4);
    char buffer[64] = {};
    ASSERT_EQ(qMulticast_Receive(receiver.get(), buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), message);

    EXPECT_EQ(qMulticast_Send(observed_sender.get(), "x", 1), 1);
    auto deadline = Clock::now() + 2s;
    while (observer.requests().empty() && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(observer.requests().size(), 1u);
    EXPECT_EQ(observer.requests()[0].address, "127.0.0.1");
}

TEST_F(Multicast, EachKindRefusesTheOthersOperationAndNothingIsNone) {
    Endpoint receiver(qMulticast_Create(0, GROUP, PORT, 0));
    Endpoint sender(qMulticast_Create(0, GROUP, PORT, 1));
    ASSERT_NE(receiver, nullptr);
    ASSERT_NE(sender, nullptr);
    char buffer[8];
    EXPECT_EQ(qMulticast_Send(receiver.get(), "x", 1), -3);
    EXPECT_EQ(qMulticast_Receive(sender.get(), buffer, sizeof buffer), -3);
    EXPECT_EQ(qMulticast_Send(nullptr, "x", 1), -2);
    EXPECT_EQ(qMulticast_Receive(nullptr, buffer, sizeof buffer), -2);

    auto started = Clock::now();
    EXPECT_EQ(qMulticast_Receive(receiver.get(), buffer, sizeof buffer), -1) << "the refused send sent nothing";
    auto waited = Clock::now() - started;
    EXPECT_GE(waited, 900ms);
    EXPECT_LT(waited, 3s);

    qMulticast* destroyed = receiver.release();
    EXPECT_EQ(qMulticast_Destroy(&destroyed), 0);
    EXPECT_EQ(destroyed, nullptr);
    EXPECT_EQ(qMulticast_Destroy(&destroyed), -2);
    EXPECT_EQ(qMulticast_Destroy(nullptr), -2);
}
