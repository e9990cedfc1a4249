// The host's IPv4 interfaces and their dotted form, inside a network of the test's own whose
// interfaces the test knows: the loopback and one veth pair.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "PrivateNetwork.h"
#include "discover.h"
#include "unix_discovery.h"

using namespace test_support;

namespace {

std::vector<std::string> dotted(const uint32_t* addresses, int count) {
    std::vector<std::string> texts;
    for (int i = 0; i < count; ++i) {
        char text[INET_ADDRSTRLEN] = {};
        in_addr value{addresses[i]};
        inet_ntop(AF_INET, &value, text, sizeof text);
        texts.push_back(text);
    }
    return texts;
}

uint32_t address(const char* text) {
    in_addr value{};
    inet_pton(AF_INET, text, &value);
    return value.s_addr;
}

}  // namespace

TEST(InterfaceList, ListsEveryIPv4AddressUpToTheMaximum) {
    std::string problem = enter_private_network();
    if (!problem.empty()) GTEST_SKIP() << "no private network (" << problem << ")";
    add_veth_pair({"vm0", "10.77.0.1", "vm1", "10.77.0.2"});

    uint32_t addresses[50] = {};
    int count = qDiscovery_GetIPv4Interfaces(addresses, 50);
    std::vector<std::string> listed = dotted(addresses, count);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (std::vector<std::string>{"10.77.0.1", "10.77.0.2", "127.0.0.1"}));

    uint32_t first_two[3] = {0, 0, 0xFFFFFFFF};
    EXPECT_EQ(qDiscovery_GetIPv4Interfaces(first_two, 2), 2);
    EXPECT_EQ(first_two[0], addresses[0]) << "in the order the system lists them";
    EXPECT_EQ(first_two[1], addresses[1]);
    EXPECT_EQ(first_two[2], 0xFFFFFFFFu) << "nothing written past the maximum";
    EXPECT_EQ(qDiscovery_GetIPv4Interfaces(nullptr, 50), 0);

    std::vector<uint32_t> request_interfaces;
    ASSERT_TRUE(unix_discovery_RequestInterfaces(&request_interfaces));
    std::vector<std::string> requested = dotted(request_interfaces.data(), static_cast<int>(request_interfaces.size()));
    std::sort(requested.begin(), requested.end());
    EXPECT_EQ(requested, (std::vector<std::string>{"10.77.0.1", "10.77.0.2"})) << "never the loopback";
}

TEST(InterfaceList, DottedFormNeedsSixteenBytesAndClearsTheBuffer) {
    struct Case {
        const char* address;
        size_t size;
        int length;
        const char* text;
    };
    for (const Case& c : {Case{"10.77.0.1", 16, 9, "10.77.0.1"}, Case{"255.255.255.255", 16, 15, "255.255.255.255"},
                          Case{"127.0.0.1", 64, 9, "127.0.0.1"}, Case{"0.0.0.0", 16, 7, "0.0.0.0"},
                          Case{"10.77.0.1", 15, 0, ""}, Case{"10.77.0.1", 1, 0, ""}}) {
        SCOPED_TRACE(std::string(c.address) + " into " + std::to_string(c.size) + " bytes");
        char buffer[80];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(qDiscovery_ConvertIPv4Interface(address(c.address), buffer, c.size), c.length);
        EXPECT_STREQ(buffer, c.text);
        EXPECT_TRUE(std::all_of(buffer + strlen(buffer), buffer + c.size, [](char b) { return b == 0; }));
        EXPECT_EQ(buffer[c.size], 'x') << "nothing written past the buffer's size";
    }
    EXPECT_EQ(qDiscovery_ConvertIPv4Interface(address("10.0.0.1"), nullptr, 16), 0);
}
